// The message catalogue: every message class of the enterprise-applications requests and of the
// managing server requests, with group, number, class identity and a typed descriptor for every
// field the system uses. Field numbers live here and nowhere else. Each class is a PXMessageBase
// made empty with its group and number; it adds no data. A class lists its fields once, in
// EBS_FIELDS: each line becomes the typed descriptor of that name and an entry of the class's
// kFields, from which Catalogue() describes the class at run time (names for JSON output and
// documentation, password places for redaction), so the two cannot disagree.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/message/field.h"
#include "platform/message/message.h"

#define EBS_MESSAGE(Name, Group, Number, ClassId)    \
  using Self = Name;                                 \
  static constexpr int kGroup = Group;               \
  static constexpr int kNumber = Number;             \
  static constexpr unsigned long kClassId = ClassId; \
  Name() : PXMessageBase(Group, Number) {}           \
  explicit Name(const PXMessageBase& m) : PXMessageBase(m) {}

// Descriptors of a child message and of a list of them, by the child's class C:
// ObjectOf<C>::Field<H> is ObjectField<H, C>.
template <class C>
struct ObjectOf {
  template <class H>
  using Field = ObjectField<H, C>;
};
template <class C>
struct ListOf {
  template <class H>
  using Field = ObjectListField<H, C>;
};

// A class's fields, defined in the class as
//   #define EBS_FIELDS(F) F(Descriptor, name, index, number, fieldId) ...
//   EBS_DECLARE_FIELDS
//   #undef EBS_FIELDS
// become `static constexpr Descriptor<Class> name{index, number, fieldId, "name"}` and kFields,
// the descriptors in the order listed.
#define EBS_DECLARE_FIELD(Descriptor, name, index, number, fieldId) \
  static constexpr Descriptor<Self> name{index, number, fieldId, #name};
#define EBS_FIELD_ADDRESS(Descriptor, name, index, number, fieldId) &name,
#define EBS_DECLARE_FIELDS         \
  EBS_FIELDS(EBS_DECLARE_FIELD)    \
  static constexpr const FieldDesc* const kFields[] = {EBS_FIELDS(EBS_FIELD_ADDRESS)};

struct UserCredentials;
namespace NqEntities {
struct ClientEntity;
struct GenericEntity;
struct AppEntity;
}  // namespace NqEntities
namespace Hux {
struct GenericResp;
struct OraEBSConfig;
struct OraEBSDBTier;
struct OraEBSAppTier;
struct OraEBSDBNode;
struct OraEBSAppNode;
struct OraEBSContext;
}  // namespace Hux
namespace Api {
struct VirtualApp;
}
namespace App {
struct ClientList;
struct ClientPropertiesInfo;
struct ClientProperties;
struct RegistryKeyInfo;
}  // namespace App

struct UserCredentials : PXMessageBase {
  EBS_MESSAGE(UserCredentials, 20, 0, 344941478)
#define EBS_FIELDS(F)                       \
  F(StringField, userName, 1, 1, 1768694)   \
  F(PasswordField, password, 2, 5, 9026203)
  EBS_DECLARE_FIELDS
#undef EBS_FIELDS
};

namespace Hux {

struct EnterpriseAppsReqResp : PXMessageBase {
  EBS_MESSAGE(EnterpriseAppsReqResp, 22, 506, 375267451)
#define EBS_FIELDS(F)                                       \
  F(IntField, appType, 1, 0, 11371771)                      \
  F(StringField, xmlString, 2, 2, 5205768)                  \
  F(ObjectOf<GenericResp>::Field, response, 3, 6, 12898824)
  EBS_DECLARE_FIELDS
#undef EBS_FIELDS
};

struct GenericResp : PXMessageBase {
  EBS_MESSAGE(GenericResp, 22, 422, 385007143)
#define EBS_FIELDS(F)                          \
  F(IntField, errorCode, 1, 1, 10268693)       \
  F(StringField, errorMessage, 2, 2, 12053727)
  EBS_DECLARE_FIELDS
#undef EBS_FIELDS
};

struct OraEBSReqResp : PXMessageBase {
  EBS_MESSAGE(OraEBSReqResp, 22, 505, 370911894)
#define EBS_FIELDS(F)                                        \
  F(IntField, messageType, 1, 0, 1573467)                    \
  F(ObjectOf<OraEBSConfig>::Field, ebsConfig, 2, 2, 8080666)
  EBS_DECLARE_FIELDS
#undef EBS_FIELDS
};

struct OraEBSConfig : PXMessageBase {
  EBS_MESSAGE(OraEBSConfig, 22, 504, 370158170)
#define EBS_FIELDS(F)                                                   \
  F(StringField, appsVersion, 1, 1, 16063704)                           \
  F(ObjectOf<OraEBSDBTier>::Field, dbTier, 3, 9, 3236736)               \
  F(ObjectOf<OraEBSAppTier>::Field, appTier, 4, 10, 11356067)           \
  F(ObjectOf<NqEntities::AppEntity>::Field, virtualApp, 5, 11, 3581387)
  EBS_DECLARE_FIELDS
#undef EBS_FIELDS
};

struct OraEBSDBTier : PXMessageBase {
  EBS_MESSAGE(OraEBSDBTier, 22, 502, 376803672)
#define EBS_FIELDS(F)                                          \
  F(StringField, dbName, 1, 1, 11467632)                       \
  F(StringField, dbSid, 2, 5, 807648)                          \
  F(StringField, dbPort, 3, 9, 3123743)                        \
  F(ObjectOf<UserCredentials>::Field, osUser, 5, 17, 13055347) \
  F(ListOf<OraEBSDBNode>::Field, dbNodes, 9, 24, 11089107)     \
  F(StringField, osGroup, 11, 26, 11225418)
  EBS_DECLARE_FIELDS
#undef EBS_FIELDS
};

struct OraEBSAppTier : PXMessageBase {
  EBS_MESSAGE(OraEBSAppTier, 22, 503, 378136747)
#define EBS_FIELDS(F)                                                \
  F(StringField, hostName, 1, 1, 1232979)                            \
  F(ObjectOf<UserCredentials>::Field, osUser, 2, 5, 13055347)        \
  F(ObjectOf<UserCredentials>::Field, databaseLogin, 3, 6, 10985821) \
  F(ListOf<OraEBSAppNode>::Field, appNodes, 7, 16, 11130128)         \
  F(StringField, osGroup, 10, 19, 11225418)
  EBS_DECLARE_FIELDS
#undef EBS_FIELDS
};

struct OraEBSDBNode : PXMessageBase {
  EBS_MESSAGE(OraEBSDBNode, 22, 500, 376630648)
#define EBS_FIELDS(F)                                                    \
  F(StringField, dbName, 1, 1, 11467632)                                 \
  F(StringField, hostName, 2, 5, 1232979)                                \
  F(StringField, appsVersion, 3, 9, 16063704)                            \
  F(StringField, platform, 4, 13, 14767282)                              \
  F(StringField, baseDirectory, 5, 17, 2693231)                          \
  F(ObjectOf<UserCredentials>::Field, osUser, 6, 21, 13055347)           \
  F(StringField, osGroup, 7, 22, 11225418)                               \
  F(StringField, oracleHome, 8, 26, 11106173)                            \
  F(StringField, dbPort, 9, 30, 3123743)                                 \
  F(StringField, tempDirectory, 10, 34, 13884164)                        \
  F(ObjectOf<NqEntities::ClientEntity>::Field, client, 13, 43, 11242014) \
  F(StringField, contextName, 16, 46, 5341035)                           \
  F(StringField, contextFilePath, 17, 50, 14168011)                      \
  F(StringListField, dataDirectories, 18, 54, 10194000)
  EBS_DECLARE_FIELDS
#undef EBS_FIELDS
};

struct OraEBSAppNode : PXMessageBase {
  EBS_MESSAGE(OraEBSAppNode, 22, 501, 377963723)
#define EBS_FIELDS(F)                                                    \
  F(StringField, appsBase, 1, 1, 10402915)                               \
  F(StringField, hostName, 2, 5, 1232979)                                \
  F(StringField, appsVersion, 3, 9, 16063704)                            \
  F(StringField, configHome, 4, 13, 11923584)                            \
  F(StringField, platform, 5, 17, 14767282)                              \
  F(ObjectOf<UserCredentials>::Field, osUser, 6, 21, 13055347)           \
  F(StringField, osGroup, 7, 22, 11225418)                               \
  F(StringField, applTmp, 8, 26, 14698521)                               \
  F(ListOf<OraEBSContext>::Field, contexts, 11, 35, 13634272)            \
  F(IntListField, nodeTypes, 12, 36, 2829207)                            \
  F(ObjectOf<NqEntities::ClientEntity>::Field, client, 13, 37, 11242014)
  EBS_DECLARE_FIELDS
#undef EBS_FIELDS
};

struct OraEBSContext : PXMessageBase {
  EBS_MESSAGE(OraEBSContext, 22, 499, 378787511)
#define EBS_FIELDS(F)                              \
  F(StringField, fileEditionName, 1, 1, 14398682)  \
  F(StringField, hostName, 2, 5, 1232979)          \
  F(StringField, applTop, 3, 9, 12051178)          \
  F(StringField, oadTop, 4, 13, 7361386)           \
  F(StringField, webOracleHome, 5, 17, 15100499)   \
  F(StringField, toolsOracleHome, 6, 21, 3853658)  \
  F(StringField, contextName, 7, 25, 5341035)      \
  F(StringField, contextFilePath, 8, 29, 14168011) \
  F(StringField, configHome, 9, 33, 11923584)
  EBS_DECLARE_FIELDS
#undef EBS_FIELDS
};

// Service-group kinds of an application node, one bit each; `nodeTypes` holds single values.
enum OraEBSNodeType : int32_t {
  WebEntry = 1,
  WebApplications = 2,
  Root = 4,
  Batch = 8,
  WebAdmin = 16,
  Other = 32,
};

}  // namespace Hux

// Values of Hux::EnterpriseAppsReqResp::appType.
enum EnterpriseAppType : int { kAppTypeOracleEBS = 1, kAppTypePeopleSoft = 2 };

// Values of Hux::OraEBSReqResp::messageType that the worker serves; a request of any other type
// is answered as it came.
enum EBSMessageType : int { kEBSSave = 1, kEBSDiscover = 2, kEBSDelete = 8 };

namespace NqEntities {

struct ClientEntity : PXMessageBase {
  EBS_MESSAGE(ClientEntity, 18, 4, 305124270)
#define EBS_FIELDS(F)                        \
  F(IntField, clientId, 0, 0, 2438726)       \
  F(StringField, clientName, 1, 1, 11732214) \
  F(IntField, hiveId, 6, 18, 1107017)
  EBS_DECLARE_FIELDS
#undef EBS_FIELDS
};

struct GenericEntity : PXMessageBase {
  EBS_MESSAGE(GenericEntity, 18, 46, 311168122)
#define EBS_FIELDS(F)                    \
  F(IntField, clientId, 17, 47, 2438726)
  EBS_DECLARE_FIELDS
#undef EBS_FIELDS
};

struct AppEntity : PXMessageBase {
  EBS_MESSAGE(AppEntity, 18, 129, 311848633)
#define EBS_FIELDS(F)                     \
  F(IntField, appId, 0, 0, 2385990)       \
  F(StringField, appName, 1, 1, 11384566)
  EBS_DECLARE_FIELDS
#undef EBS_FIELDS
};

}  // namespace NqEntities

namespace Api {

struct VirtualAppReq : PXMessageBase {
  EBS_MESSAGE(VirtualAppReq, 118, 31, 1979911560)
#define EBS_FIELDS(F)                                       \
  F(IntField, operation, 1, 1, 3112502)                     \
  F(ObjectOf<VirtualApp>::Field, virtualApp, 2, 2, 3581387)
  EBS_DECLARE_FIELDS
#undef EBS_FIELDS
};

// Operations of a VirtualAppReq.
enum VirtualAppOperation : int { kVirtualAppSave = 0, kVirtualAppDelete = 2 };

struct VirtualApp : PXMessageBase {
  EBS_MESSAGE(VirtualApp, 118, 132, 1988517686)
#define EBS_FIELDS(F)                                                 \
  F(ObjectOf<NqEntities::AppEntity>::Field, appEntity, 1, 1, 8040846) \
  F(IntField, appType, 9, 12, 8113473)                                \
  F(ObjectOf<Hux::OraEBSConfig>::Field, ebsConfig, 22, 31, 8080666)
  EBS_DECLARE_FIELDS
#undef EBS_FIELDS
};

}  // namespace Api

namespace App {

struct SetClientPropertiesRequest : PXMessageBase {
  EBS_MESSAGE(SetClientPropertiesRequest, 30, 293, 519516847)
#define EBS_FIELDS(F)                                                     \
  F(ObjectOf<ClientList>::Field, clientList, 1, 1, 13163649)              \
  F(ObjectOf<ClientPropertiesInfo>::Field, propertiesInfo, 2, 2, 3693406)
  EBS_DECLARE_FIELDS
#undef EBS_FIELDS
};

struct ClientList : PXMessageBase {
  EBS_MESSAGE(ClientList, 30, 290, 505284658)
#define EBS_FIELDS(F)                                                  \
  F(ListOf<NqEntities::GenericEntity>::Field, clients, 1, 1, 10347491)
  EBS_DECLARE_FIELDS
#undef EBS_FIELDS
};

struct ClientPropertiesInfo : PXMessageBase {
  EBS_MESSAGE(ClientPropertiesInfo, 30, 163, 511888185)
#define EBS_FIELDS(F)                                                    \
  F(ObjectOf<ClientProperties>::Field, clientProperties, 3, 3, 13732965)
  EBS_DECLARE_FIELDS
#undef EBS_FIELDS
};

struct ClientProperties : PXMessageBase {
  EBS_MESSAGE(ClientProperties, 30, 136, 507196485)
#define EBS_FIELDS(F)                                                 \
  F(ListOf<RegistryKeyInfo>::Field, registryKeys, 128, 197, 12807121)
  EBS_DECLARE_FIELDS
#undef EBS_FIELDS
};

struct RegistryKeyInfo : PXMessageBase {
  EBS_MESSAGE(RegistryKeyInfo, 30, 130, 518062224)
#define EBS_FIELDS(F)                      \
  F(StringField, keyName, 1, 1, 6440330)   \
  F(StringField, keyType, 2, 5, 3575610)   \
  F(StringField, keyValue, 3, 9, 11309425) \
  F(StringField, keyPath, 4, 13, 14031089) \
  F(IntField, keyFlags, 5, 17, 6959129)    \
  F(IntField, keyMode, 6, 18, 1018689)     \
  F(IntField, keyOptions, 7, 19, 4435066)
  EBS_DECLARE_FIELDS
#undef EBS_FIELDS
};

}  // namespace App

#undef EBS_MESSAGE
#undef EBS_DECLARE_FIELD
#undef EBS_FIELD_ADDRESS
#undef EBS_DECLARE_FIELDS

// Run-time description of the catalogue.
struct ClassInfo {
  const char* name;
  int group;
  int number;
  unsigned long classId;
  std::vector<const FieldDesc*> fields;
};

const std::vector<ClassInfo>& Catalogue();
// The class of a group and number, or null when the catalogue does not know it.
const ClassInfo* FindClass(int group, int number);
const ClassInfo* FindClassById(unsigned long classId);
// The descriptor of a field of a class, or null.
const FieldDesc* FindField(const ClassInfo& cls, short index);
