#include "messages/requests.h"

#include <cstdint>

std::string EnvelopeText(int64_t appType, const std::string& inner) {
  Hux::EnterpriseAppsReqResp envelope;
  View(envelope).set(Hux::EnterpriseAppsReqResp::appType, appType);
  View(envelope).set(Hux::EnterpriseAppsReqResp::xmlString, inner);
  return envelope.serialized();
}

Hux::OraEBSReqResp DiscoverRequest(const std::string& sid, const std::string& user,
                                   const std::string& password) {
  Hux::OraEBSReqResp request;
  auto req = View(request);
  req.set(Hux::OraEBSReqResp::messageType, kEBSDiscover);
  auto cfg = req.child(Hux::OraEBSReqResp::ebsConfig, Create::Yes);
  cfg.child(Hux::OraEBSConfig::dbTier, Create::Yes).set(Hux::OraEBSDBTier::dbSid, sid);
  auto login = cfg.child(Hux::OraEBSConfig::appTier, Create::Yes)
                   .child(Hux::OraEBSAppTier::databaseLogin, Create::Yes);
  login.set(UserCredentials::userName, user);
  login.set(UserCredentials::password, password);
  return request;
}

Hux::OraEBSReqResp DeleteRequest(int64_t appId) {
  Hux::OraEBSReqResp request;
  auto req = View(request);
  req.set(Hux::OraEBSReqResp::messageType, kEBSDelete);
  req.child(Hux::OraEBSReqResp::ebsConfig, Create::Yes)
      .child(Hux::OraEBSConfig::virtualApp, Create::Yes)
      .set(NqEntities::AppEntity::appId, appId);
  return request;
}

AnswerParts ReadAnswer(const std::string& text, Hux::EnterpriseAppsReqResp& envelope) {
  envelope.unserialize(text);
  auto env = View(envelope);
  auto resp = env.child(Hux::EnterpriseAppsReqResp::response, Create::No);
  return AnswerParts{resp.get(Hux::GenericResp::errorCode),
                     resp.get(Hux::GenericResp::errorMessage),
                     env.get(Hux::EnterpriseAppsReqResp::xmlString)};
}
