// Merging of the current context document into a request: a database-tier file gives the
// database tier and its one node, an application-tier file the node of its host in the
// application tier (one node per distinct host, one context record per file, the enabled service
// groups as kinds). The client of a node is found by `lookup`, given "<host>.<domain>" and the
// node's client entity to fill in (it keeps its values when the lookup finds none).
//
// Each merge fails, with nothing merged, when a value it takes was over the bound (see
// ContextDocument): the file is then to be refused. Otherwise it is done, even with values left
// empty; a failure of memory midway may leave part of the file merged (it throws).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/status.h"
#include "context/context_document.h"
#include "messages/catalogue.h"

using ClientLookup = std::function<void(const std::string& hostName, NqEntities::ClientEntity&)>;

// Positions of the application nodes of a request by host name (the first node of each host),
// so that merging a file into its node costs one lookup. It indexes a node list again when the
// list is not the one it indexed last, or has changed length since (a new request, or nodes that
// came with it).
class AppNodeIndex {
 public:
  // The node of `host` in `nodes`, appended when there is none.
  Msg<Hux::OraEBSAppNode> NodeOf(MsgList<Hux::OraEBSAppNode> nodes, const std::string& host);

 private:
  std::unordered_map<std::string, size_t> byHost_;
  const std::vector<PXMessageBase>* indexed_ = nullptr;
  size_t count_ = 0;
};

// Logs the values read at debug level (label "ProcessDBTierTags"). The tier keeps one node.
Status MergeDbTier(ContextDocument& document, Msg<Hux::OraEBSReqResp> request,
                   const ClientLookup& lookup);
Status MergeAppTier(ContextDocument& document, Msg<Hux::OraEBSReqResp> request,
                    AppNodeIndex& nodes, const ClientLookup& lookup);
