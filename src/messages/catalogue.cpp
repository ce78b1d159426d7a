#include "messages/catalogue.h"

#include <iterator>

namespace {

// A class as the catalogue lists it: its fields are those its EBS_FIELDS defines.
template <class C>
ClassInfo Describe(const char* name) {
  return ClassInfo{name, C::kGroup, C::kNumber, C::kClassId,
                   std::vector<const FieldDesc*>(std::begin(C::kFields), std::end(C::kFields))};
}

std::vector<ClassInfo> Build() {
  return {
      Describe<UserCredentials>("UserCredentials"),
      Describe<Hux::EnterpriseAppsReqResp>("Hux::EnterpriseAppsReqResp"),
      Describe<Hux::GenericResp>("Hux::GenericResp"),
      Describe<Hux::OraEBSReqResp>("Hux::OraEBSReqResp"),
      Describe<Hux::OraEBSConfig>("Hux::OraEBSConfig"),
      Describe<Hux::OraEBSDBTier>("Hux::OraEBSDBTier"),
      Describe<Hux::OraEBSAppTier>("Hux::OraEBSAppTier"),
      Describe<Hux::OraEBSDBNode>("Hux::OraEBSDBNode"),
      Describe<Hux::OraEBSAppNode>("Hux::OraEBSAppNode"),
      Describe<Hux::OraEBSContext>("Hux::OraEBSContext"),
      Describe<NqEntities::ClientEntity>("NqEntities::ClientEntity"),
      Describe<NqEntities::GenericEntity>("NqEntities::GenericEntity"),
      Describe<NqEntities::AppEntity>("NqEntities::AppEntity"),
      Describe<Api::VirtualAppReq>("Api::VirtualAppReq"),
      Describe<Api::VirtualApp>("Api::VirtualApp"),
      Describe<App::SetClientPropertiesRequest>("App::SetClientPropertiesRequest"),
      Describe<App::ClientList>("App::ClientList"),
      Describe<App::ClientPropertiesInfo>("App::ClientPropertiesInfo"),
      Describe<App::ClientProperties>("App::ClientProperties"),
      Describe<App::RegistryKeyInfo>("App::RegistryKeyInfo"),
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
