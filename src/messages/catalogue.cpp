#include "messages/catalogue.h"

namespace {

template <class C>
ClassInfo Describe(const char* name, std::vector<const FieldDesc*> fields) {
  return ClassInfo{name, C::kGroup, C::kNumber, C::kClassId, std::move(fields)};
}

std::vector<ClassInfo> Build() {
  using namespace Hux;
  using NqEntities::AppEntity;
  using NqEntities::ClientEntity;
  using NqEntities::GenericEntity;
  using U = UserCredentials;
  using E = EnterpriseAppsReqResp;
  using R = OraEBSReqResp;
  using C = OraEBSConfig;
  using D = OraEBSDBTier;
  using A = OraEBSAppTier;
  using DN = OraEBSDBNode;
  using AN = OraEBSAppNode;
  using X = OraEBSContext;
  using VR = Api::VirtualAppReq;
  using V = Api::VirtualApp;
  using S = App::SetClientPropertiesRequest;
  using K = App::RegistryKeyInfo;
  return {
      Describe<U>("UserCredentials", {&U::userName, &U::password}),
      Describe<E>("Hux::EnterpriseAppsReqResp", {&E::appType, &E::xmlString, &E::response}),
      Describe<GenericResp>("Hux::GenericResp",
                            {&GenericResp::errorCode, &GenericResp::errorMessage}),
      Describe<R>("Hux::OraEBSReqResp", {&R::messageType, &R::ebsConfig}),
      Describe<C>("Hux::OraEBSConfig", {&C::appsVersion, &C::dbTier, &C::appTier, &C::virtualApp}),
      Describe<D>("Hux::OraEBSDBTier",
                  {&D::dbName, &D::dbSid, &D::dbPort, &D::osUser, &D::dbNodes, &D::osGroup}),
      Describe<A>("Hux::OraEBSAppTier",
                  {&A::hostName, &A::osUser, &A::databaseLogin, &A::appNodes, &A::osGroup}),
      Describe<DN>("Hux::OraEBSDBNode",
                   {&DN::dbName, &DN::hostName, &DN::appsVersion, &DN::platform, &DN::baseDirectory,
                    &DN::osUser, &DN::osGroup, &DN::oracleHome, &DN::dbPort, &DN::tempDirectory,
                    &DN::client, &DN::contextName, &DN::contextFilePath, &DN::dataDirectories}),
      Describe<AN>(
          "Hux::OraEBSAppNode",
          {&AN::appsBase, &AN::hostName, &AN::appsVersion, &AN::configHome, &AN::platform,
           &AN::osUser, &AN::osGroup, &AN::applTmp, &AN::contexts, &AN::nodeTypes, &AN::client}),
      Describe<X>("Hux::OraEBSContext",
                  {&X::fileEditionName, &X::hostName, &X::applTop, &X::oadTop, &X::webOracleHome,
                   &X::toolsOracleHome, &X::contextName, &X::contextFilePath, &X::configHome}),
      Describe<ClientEntity>(
          "NqEntities::ClientEntity",
          {&ClientEntity::clientId, &ClientEntity::clientName, &ClientEntity::hiveId}),
      Describe<GenericEntity>("NqEntities::GenericEntity", {&GenericEntity::clientId}),
      Describe<AppEntity>("NqEntities::AppEntity", {&AppEntity::appId, &AppEntity::appName}),
      Describe<VR>("Api::VirtualAppReq", {&VR::operation, &VR::virtualApp}),
      Describe<V>("Api::VirtualApp", {&V::appEntity, &V::appType, &V::ebsConfig}),
      Describe<S>("App::SetClientPropertiesRequest", {&S::clientList, &S::propertiesInfo}),
      Describe<App::ClientList>("App::ClientList", {&App::ClientList::clients}),
      Describe<App::ClientPropertiesInfo>("App::ClientPropertiesInfo",
                                          {&App::ClientPropertiesInfo::clientProperties}),
      Describe<App::ClientProperties>("App::ClientProperties",
                                      {&App::ClientProperties::registryKeys}),
      Describe<K>("App::RegistryKeyInfo", {&K::keyName, &K::keyType, &K::keyValue, &K::keyPath,
                                           &K::keyFlags, &K::keyMode, &K::keyOptions}),
  };
}

}  // namespace

const std::vector<ClassInfo>& Catalogue() {
  static const std::vector<ClassInfo> catalogue = Build();
  return catalogue;
}

const ClassInfo* FindClass(int group, int number) {
  for (const ClassInfo& c : Catalogue())
    if (c.group == group && c.number == number) return &c;
  return nullptr;
}

const ClassInfo* FindClassById(unsigned long classId) {
  for (const ClassInfo& c : Catalogue())
    if (c.classId == classId) return &c;
  return nullptr;
}

const FieldDesc* FindField(const ClassInfo& cls, short index) {
  for (const FieldDesc* f : cls.fields)
    if (f->index == index) return f;
  return nullptr;
}
