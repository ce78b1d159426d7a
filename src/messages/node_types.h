// The service-group kinds of an application node (Hux::OraEBSNodeType): the type a context file
// gives a service group and the name shown to people, in one table.
#pragma once

#include <cstdint>
#include <string_view>

#include "messages/catalogue.h"

struct NodeTypeInfo {
  Hux::OraEBSNodeType kind;
  std::string_view contextType;  // the "type" of an oa_service_group, compared exactly
  const char* name;              // as ebs-host shows it
};

inline constexpr NodeTypeInfo kNodeTypes[] = {
    {Hux::Root, "root", "root"},
    {Hux::WebAdmin, "web_admin", "web admin"},
    {Hux::WebEntry, "web entry", "web entry"},  // written with a blank in context files
    {Hux::WebApplications, "web_applications", "web applications"},
    {Hux::Batch, "batch", "batch"},
    {Hux::Other, "other", "other"},
};

// The kind of a service group's type, or 0 for a type that is not recorded.
inline int32_t NodeTypeOfServiceGroup(std::string_view type) {
  for (const NodeTypeInfo& t : kNodeTypes)
    if (t.contextType == type) return t.kind;
  return 0;
}

// The shown name of a kind, or "unknown".
inline const char* NodeTypeName(int64_t kind) {
  for (const NodeTypeInfo& t : kNodeTypes)
    if (t.kind == kind) return t.name;
  return "unknown";
}
