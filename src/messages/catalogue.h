// The message catalogue: every message class of the enterprise-applications requests and of the
// managing server requests, with group, number, class identity and a typed descriptor for every
// field the system uses. Field numbers live here and nowhere else. Each class is a PXMessageBase
// made empty with its group and number; it adds no data. Catalogue() lists the classes and their
// fields at run time (names for JSON output and documentation).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/message/field.h"
#include "platform/message/message.h"

#define EBS_MESSAGE(Name, Group, Number, ClassId)    \
  static constexpr int kGroup = Group;               \
  static constexpr int kNumber = Number;             \
  static constexpr unsigned long kClassId = ClassId; \
  Name() : PXMessageBase(Group, Number) {}           \
  explicit Name(const PXMessageBase& m) : PXMessageBase(m) {}

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
  static constexpr StringField<UserCredentials> userName{1, 1, 1768694, "userName"};
  static constexpr PasswordField<UserCredentials> password{2, 5, 9026203, "password"};
};

namespace Hux {

struct EnterpriseAppsReqResp : PXMessageBase {
  EBS_MESSAGE(EnterpriseAppsReqResp, 22, 506, 375267451)
  static constexpr IntField<EnterpriseAppsReqResp> appType{1, 0, 11371771, "appType"};
  static constexpr StringField<EnterpriseAppsReqResp> xmlString{2, 2, 5205768, "xmlString"};
  static constexpr ObjectField<EnterpriseAppsReqResp, GenericResp> response{3, 6, 12898824,
                                                                            "response"};
};

struct GenericResp : PXMessageBase {
  EBS_MESSAGE(GenericResp, 22, 422, 385007143)
  static constexpr IntField<GenericResp> errorCode{1, 1, 10268693, "errorCode"};
  static constexpr StringField<GenericResp> errorMessage{2, 2, 12053727, "errorMessage"};
};

struct OraEBSReqResp : PXMessageBase {
  EBS_MESSAGE(OraEBSReqResp, 22, 505, 370911894)
  static constexpr IntField<OraEBSReqResp> messageType{1, 0, 1573467, "messageType"};
  static constexpr ObjectField<OraEBSReqResp, OraEBSConfig> ebsConfig{2, 2, 8080666, "ebsConfig"};
};

struct OraEBSConfig : PXMessageBase {
  EBS_MESSAGE(OraEBSConfig, 22, 504, 370158170)
  static constexpr StringField<OraEBSConfig> appsVersion{1, 1, 16063704, "appsVersion"};
  static constexpr ObjectField<OraEBSConfig, OraEBSDBTier> dbTier{3, 9, 3236736, "dbTier"};
  static constexpr ObjectField<OraEBSConfig, OraEBSAppTier> appTier{4, 10, 11356067, "appTier"};
  static constexpr ObjectField<OraEBSConfig, NqEntities::AppEntity> virtualApp{5, 11, 3581387,
                                                                               "virtualApp"};
};

struct OraEBSDBTier : PXMessageBase {
  EBS_MESSAGE(OraEBSDBTier, 22, 502, 376803672)
  static constexpr StringField<OraEBSDBTier> dbName{1, 1, 11467632, "dbName"};
  static constexpr StringField<OraEBSDBTier> dbSid{2, 5, 807648, "dbSid"};
  static constexpr StringField<OraEBSDBTier> dbPort{3, 9, 3123743, "dbPort"};
  static constexpr ObjectField<OraEBSDBTier, UserCredentials> osUser{5, 17, 13055347, "osUser"};
  static constexpr ObjectListField<OraEBSDBTier, OraEBSDBNode> dbNodes{9, 24, 11089107, "dbNodes"};
  static constexpr StringField<OraEBSDBTier> osGroup{11, 26, 11225418, "osGroup"};
};

struct OraEBSAppTier : PXMessageBase {
  EBS_MESSAGE(OraEBSAppTier, 22, 503, 378136747)
  static constexpr StringField<OraEBSAppTier> hostName{1, 1, 1232979, "hostName"};
  static constexpr ObjectField<OraEBSAppTier, UserCredentials> osUser{2, 5, 13055347, "osUser"};
  static constexpr ObjectField<OraEBSAppTier, UserCredentials> databaseLogin{3, 6, 10985821,
                                                                             "databaseLogin"};
  static constexpr ObjectListField<OraEBSAppTier, OraEBSAppNode> appNodes{7, 16, 11130128,
                                                                          "appNodes"};
  static constexpr StringField<OraEBSAppTier> osGroup{10, 19, 11225418, "osGroup"};
};

struct OraEBSDBNode : PXMessageBase {
  EBS_MESSAGE(OraEBSDBNode, 22, 500, 376630648)
  static constexpr StringField<OraEBSDBNode> dbName{1, 1, 11467632, "dbName"};
  static constexpr StringField<OraEBSDBNode> hostName{2, 5, 1232979, "hostName"};
  static constexpr StringField<OraEBSDBNode> appsVersion{3, 9, 16063704, "appsVersion"};
  static constexpr StringField<OraEBSDBNode> platform{4, 13, 14767282, "platform"};
  static constexpr StringField<OraEBSDBNode> baseDirectory{5, 17, 2693231, "baseDirectory"};
  static constexpr ObjectField<OraEBSDBNode, UserCredentials> osUser{6, 21, 13055347, "osUser"};
  static constexpr StringField<OraEBSDBNode> osGroup{7, 22, 11225418, "osGroup"};
  static constexpr StringField<OraEBSDBNode> oracleHome{8, 26, 11106173, "oracleHome"};
  static constexpr StringField<OraEBSDBNode> dbPort{9, 30, 3123743, "dbPort"};
  static constexpr StringField<OraEBSDBNode> tempDirectory{10, 34, 13884164, "tempDirectory"};
  static constexpr ObjectField<OraEBSDBNode, NqEntities::ClientEntity> client{13, 43, 11242014,
                                                                              "client"};
  static constexpr StringField<OraEBSDBNode> contextName{16, 46, 5341035, "contextName"};
  static constexpr StringField<OraEBSDBNode> contextFilePath{17, 50, 14168011, "contextFilePath"};
  static constexpr StringListField<OraEBSDBNode> dataDirectories{18, 54, 10194000,
                                                                 "dataDirectories"};
};

struct OraEBSAppNode : PXMessageBase {
  EBS_MESSAGE(OraEBSAppNode, 22, 501, 377963723)
  static constexpr StringField<OraEBSAppNode> appsBase{1, 1, 10402915, "appsBase"};
  static constexpr StringField<OraEBSAppNode> hostName{2, 5, 1232979, "hostName"};
  static constexpr StringField<OraEBSAppNode> appsVersion{3, 9, 16063704, "appsVersion"};
  static constexpr StringField<OraEBSAppNode> configHome{4, 13, 11923584, "configHome"};
  static constexpr StringField<OraEBSAppNode> platform{5, 17, 14767282, "platform"};
  static constexpr ObjectField<OraEBSAppNode, UserCredentials> osUser{6, 21, 13055347, "osUser"};
  static constexpr StringField<OraEBSAppNode> osGroup{7, 22, 11225418, "osGroup"};
  static constexpr StringField<OraEBSAppNode> applTmp{8, 26, 14698521, "applTmp"};
  static constexpr ObjectListField<OraEBSAppNode, OraEBSContext> contexts{11, 35, 13634272,
                                                                          "contexts"};
  static constexpr IntListField<OraEBSAppNode> nodeTypes{12, 36, 2829207, "nodeTypes"};
  static constexpr ObjectField<OraEBSAppNode, NqEntities::ClientEntity> client{13, 37, 11242014,
                                                                               "client"};
};

struct OraEBSContext : PXMessageBase {
  EBS_MESSAGE(OraEBSContext, 22, 499, 378787511)
  static constexpr StringField<OraEBSContext> fileEditionName{1, 1, 14398682, "fileEditionName"};
  static constexpr StringField<OraEBSContext> hostName{2, 5, 1232979, "hostName"};
  static constexpr StringField<OraEBSContext> applTop{3, 9, 12051178, "applTop"};
  static constexpr StringField<OraEBSContext> oadTop{4, 13, 7361386, "oadTop"};
  static constexpr StringField<OraEBSContext> webOracleHome{5, 17, 15100499, "webOracleHome"};
  static constexpr StringField<OraEBSContext> toolsOracleHome{6, 21, 3853658, "toolsOracleHome"};
  static constexpr StringField<OraEBSContext> contextName{7, 25, 5341035, "contextName"};
  static constexpr StringField<OraEBSContext> contextFilePath{8, 29, 14168011, "contextFilePath"};
  static constexpr StringField<OraEBSContext> configHome{9, 33, 11923584, "configHome"};
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

namespace NqEntities {

struct ClientEntity : PXMessageBase {
  EBS_MESSAGE(ClientEntity, 18, 4, 305124270)
  static constexpr IntField<ClientEntity> clientId{0, 0, 2438726, "clientId"};
  static constexpr StringField<ClientEntity> clientName{1, 1, 11732214, "clientName"};
  static constexpr IntField<ClientEntity> hiveId{6, 18, 1107017, "hiveId"};
};

struct GenericEntity : PXMessageBase {
  EBS_MESSAGE(GenericEntity, 18, 46, 311168122)
  static constexpr IntField<GenericEntity> clientId{17, 47, 2438726, "clientId"};
};

struct AppEntity : PXMessageBase {
  EBS_MESSAGE(AppEntity, 18, 129, 311848633)
  static constexpr IntField<AppEntity> appId{0, 0, 2385990, "appId"};
  static constexpr StringField<AppEntity> appName{1, 1, 11384566, "appName"};
};

}  // namespace NqEntities

namespace Api {

struct VirtualAppReq : PXMessageBase {
  EBS_MESSAGE(VirtualAppReq, 118, 31, 1979911560)
  static constexpr IntField<VirtualAppReq> operation{1, 1, 3112502, "operation"};
  static constexpr ObjectField<VirtualAppReq, VirtualApp> virtualApp{2, 2, 3581387, "virtualApp"};
};

// Operations of a VirtualAppReq.
enum VirtualAppOperation : int { kVirtualAppSave = 0, kVirtualAppDelete = 2 };

struct VirtualApp : PXMessageBase {
  EBS_MESSAGE(VirtualApp, 118, 132, 1988517686)
  static constexpr ObjectField<VirtualApp, NqEntities::AppEntity> appEntity{1, 1, 8040846,
                                                                            "appEntity"};
  static constexpr IntField<VirtualApp> appType{9, 12, 8113473, "appType"};
  static constexpr ObjectField<VirtualApp, Hux::OraEBSConfig> ebsConfig{22, 31, 8080666,
                                                                        "ebsConfig"};
};

}  // namespace Api

namespace App {

struct SetClientPropertiesRequest : PXMessageBase {
  EBS_MESSAGE(SetClientPropertiesRequest, 30, 293, 519516847)
  static constexpr ObjectField<SetClientPropertiesRequest, ClientList> clientList{1, 1, 13163649,
                                                                                  "clientList"};
  static constexpr ObjectField<SetClientPropertiesRequest, ClientPropertiesInfo> propertiesInfo{
      2, 2, 3693406, "propertiesInfo"};
};

struct ClientList : PXMessageBase {
  EBS_MESSAGE(ClientList, 30, 290, 505284658)
  static constexpr ObjectListField<ClientList, NqEntities::GenericEntity> clients{1, 1, 10347491,
                                                                                  "clients"};
};

struct ClientPropertiesInfo : PXMessageBase {
  EBS_MESSAGE(ClientPropertiesInfo, 30, 163, 511888185)
  static constexpr ObjectField<ClientPropertiesInfo, ClientProperties> clientProperties{
      3, 3, 13732965, "clientProperties"};
};

struct ClientProperties : PXMessageBase {
  EBS_MESSAGE(ClientProperties, 30, 136, 507196485)
  static constexpr ObjectListField<ClientProperties, RegistryKeyInfo> registryKeys{
      128, 197, 12807121, "registryKeys"};
};

struct RegistryKeyInfo : PXMessageBase {
  EBS_MESSAGE(RegistryKeyInfo, 30, 130, 518062224)
  static constexpr StringField<RegistryKeyInfo> keyName{1, 1, 6440330, "keyName"};
  static constexpr StringField<RegistryKeyInfo> keyType{2, 5, 3575610, "keyType"};
  static constexpr StringField<RegistryKeyInfo> keyValue{3, 9, 11309425, "keyValue"};
  static constexpr StringField<RegistryKeyInfo> keyPath{4, 13, 14031089, "keyPath"};
  static constexpr IntField<RegistryKeyInfo> keyFlags{5, 17, 6959129, "keyFlags"};
  static constexpr IntField<RegistryKeyInfo> keyMode{6, 18, 1018689, "keyMode"};
  static constexpr IntField<RegistryKeyInfo> keyOptions{7, 19, 4435066, "keyOptions"};
};

}  // namespace App

#undef EBS_MESSAGE

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
