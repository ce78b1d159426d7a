// The store connections a thread keeps: each use answers from the file the path names now (a
// file replaced, deleted, swapped for a link or named by another EBS_HOST_STORE), in every thread
// at once, and in a child process forked after use as in its parent.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <thread>

#include "platform/server/client_directory.h"
#include "platform/server/store_connection.h"
#include "support/plugin.h"

namespace {

// A store at `path` with one client per name, each known under the host "<name>.example".
void MakeStore(const std::string& path, const std::vector<std::string>& names) {
  std::unique_ptr<ServerStore> store;
  Status s = ServerStore::Open(path, store);
  ASSERT_TRUE(s.ok) << s.message;
  for (const std::string& name : names)
    ASSERT_TRUE(store->AddClient(name, {name + ".example"}, 1, 0, nullptr).ok);
}

// The names of the clients the thread's kept connection for `access` sees, "-" for no store, or
// "error: <message>".
std::string Clients(const std::string& path, StoreAccess access = StoreAccess::ReadOnly) {
  std::string out;
  Status s = UseStore(path, access, [&out](ServerStore* store) {
    if (!store) {
      out = "-";
      return Status::Ok();
    }
    std::vector<ClientRecord> clients;
    Status listed = store->ListClients(clients);
    for (const ClientRecord& c : clients) out += (out.empty() ? "" : ",") + c.name;
    return listed;
  });
  return s.ok ? out : "error: " + s.message;
}

// The connection a use of `path` is given (nullptr for none), the use answering `result`.
const ServerStore* Used(const std::string& path, Status result = Status::Ok()) {
  const ServerStore* used = nullptr;
  (void)UseStore(path, StoreAccess::ReadOnly, [&](ServerStore* store) {
    used = store;
    return result;
  });
  return used;
}

// The client directory's answer for a host: the client's name, "unknown" or "unavailable".
std::string Lookup(const std::string& host) {
  NQClient client(host, NQNameTypeHost, 0, nullptr);
  std::string name;
  switch (client.getName(name, nullptr)) {
    case kClientFound:
      return name;
    case kClientUnknown:
      return "unknown";
    default:
      return "unavailable";
  }
}

TEST(StoreConnection, EachUseAnswersFromTheFileThePathNamesNow) {
  TempDir dir;
  const std::string path = dir.file("store.db");
  const std::string other = dir.file("other.db");
  const auto replaced = [&] {
    MakeStore(other, {"b"});
    ASSERT_EQ(std::rename(other.c_str(), path.c_str()), 0);
  };
  const auto deleted = [&] { ASSERT_EQ(unlink(path.c_str()), 0); };
  struct Step {
    const char* what;
    std::function<void()> change;  // done between the first use and the second
    StoreAccess access;
    std::string expected;  // what the second use sees
  } steps[] = {
      // Nothing changed: the kept connection answers.
      {"unchanged", [] {}, StoreAccess::ReadOnly, "a"},
      // A new store renamed over the old one (another inode): its clients, not the old ones.
      {"replaced", replaced, StoreAccess::ReadOnly, "b"},
      {"replaced, for a change", replaced, StoreAccess::ReadWriteExisting, "b"},
      // Deleted: an empty store, which neither a lookup nor a change creates.
      {"deleted", deleted, StoreAccess::ReadOnly, "-"},
      {"deleted, for a change", deleted, StoreAccess::ReadWriteExisting, "-"},
      // Deleted, then a save creates a new one.
      {"deleted, for a save", deleted, StoreAccess::ReadWrite, ""},
      // Swapped for a link to another store: refused, as every open of a link is.
      {"swapped for a link",
       [&] {
         MakeStore(other, {"b"});
         ASSERT_EQ(unlink(path.c_str()), 0);
         ASSERT_EQ(symlink(other.c_str(), path.c_str()), 0);
       },
       StoreAccess::ReadOnly,
       "error: cannot open store " + path + ": it is a symbolic link; name the store file itself"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    unlink(path.c_str());
    unlink(other.c_str());
    MakeStore(path, {"a"});
    ASSERT_EQ(Clients(path, step.access), "a");
    step.change();
    EXPECT_EQ(Clients(path, step.access), step.expected);
    EXPECT_EQ(access(path.c_str(), F_OK) == 0, step.expected != "-");
  }
}

TEST(StoreConnection, AConnectionIsKeptUntilAnErrorOrAnotherPath) {
  TempDir dir;
  const std::string path = dir.file("store.db");
  MakeStore(path, {"a"});
  const ServerStore* first = Used(path);
  ASSERT_NE(first, nullptr);
  // Reused while nothing changes: no open per lookup.
  EXPECT_EQ(Used(path), first);
  // Lookups and changes keep a connection each.
  EXPECT_TRUE(UseStore(path, StoreAccess::ReadWrite, [&](ServerStore* store) {
    EXPECT_NE(store, first);
    return Status::Ok();
  }).ok);
  EXPECT_EQ(Used(path), first);
  // An error gives the connection up; the store is opened again and still answers.
  Used(path, Status::Error("failed"));
  EXPECT_EQ(Clients(path), "a");
  // Another path, then the first again: each answers from its own file.
  MakeStore(dir.file("other.db"), {"b"});
  EXPECT_EQ(Clients(dir.file("other.db")), "b");
  EXPECT_EQ(Clients(path), "a");
  CloseThreadStores();
  EXPECT_EQ(Clients(path), "a");
}

// Through the client directory: a change of EBS_HOST_STORE between lookups of one thread.
TEST(StoreConnection, TheDirectoryFollowsTheStoreVariable) {
  HostSandbox sandbox;
  TempDir other;
  MakeStore(sandbox.storePath(), {"a"});
  MakeStore(other.file("store.db"), {"b"});
  EXPECT_EQ(Lookup("a.example"), "a");
  {
    ScopedEnv store("EBS_HOST_STORE", other.file("store.db"));
    EXPECT_EQ(Lookup("a.example"), "unknown");
    EXPECT_EQ(Lookup("b.example"), "b");
  }
  EXPECT_EQ(Lookup("a.example"), "a");
  {
    ScopedEnv store("EBS_HOST_STORE", other.path());
    EXPECT_EQ(Lookup("a.example"), "unavailable");  // a directory is no store
  }
  EXPECT_EQ(Lookup("b.example"), "unknown");
}

// Threads reading and writing one store at once, each with its own connections: every change
// (a client and an app each time) lands once and every read sees a store.
TEST(StoreConnection, ThreadsAtOnce) {
  TempDir dir;
  const std::string path = dir.file("store.db");
  MakeStore(path, {"a"});
  constexpr int kThreads = 4, kChanges = 25;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kChanges; ++i) {
        const std::string name = "t" + std::to_string(t) + "-" + std::to_string(i);
        Status s = UseStore(path, StoreAccess::ReadWrite, [&](ServerStore* store) {
          Status added = store->AddClient(name, {name + ".example"}, 1, 0, nullptr);
          return added.ok ? store->SaveApp(name, 64, "c", nullptr, nullptr) : added;
        });
        if (!s.ok || Clients(path).find(name) == std::string::npos) ++failures;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  std::vector<ClientRecord> clients;
  std::vector<AppRecord> apps;
  std::unique_ptr<ServerStore> store;
  ASSERT_TRUE(ServerStore::Open(path, store).ok);
  ASSERT_TRUE(store->ListClients(clients).ok && store->ListApps(apps).ok);
  EXPECT_EQ(clients.size(), 1u + kThreads * kChanges);
  EXPECT_EQ(apps.size(), 0u + kThreads * kChanges);
}

// A child forked after its parent used the store opens its own connections; the parent's go on.
TEST(StoreConnection, AForkedChildAndItsParentBothUseTheStore) {
  TempDir dir;
  const std::string path = dir.file("store.db");
  MakeStore(path, {"a"});
  ASSERT_EQ(Clients(path, StoreAccess::ReadWrite), "a");
  const ServerStore* parents = Used(path);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Exit status: 0 when the child read the store and changed it.
    int status = Clients(path) == "a" ? 0 : 1;
    // Never the parent's connection (which the child leaves alone, so no new one reuses it).
    const ServerStore* childs = Used(path);
    if (!childs || childs == parents) status |= 8;
    Status s = UseStore(path, StoreAccess::ReadWrite, [](ServerStore* store) {
      return store->AddClient("from-child", {"child.example"}, 1, 0, nullptr);
    });
    if (!s.ok) status |= 2;
    if (Clients(path) != "a,from-child") status |= 4;
    _exit(status);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(Clients(path), "a,from-child");
  Status s = UseStore(path, StoreAccess::ReadWrite, [](ServerStore* store) {
    return store->AddClient("from-parent", {"parent.example"}, 1, 0, nullptr);
  });
  EXPECT_TRUE(s.ok) << s.message;
  EXPECT_EQ(Clients(path), "a,from-child,from-parent");
}

// Setting registry values again: a changed field is stored, a value set already as it is writes
// nothing (so a repeated save adds nothing to the write-ahead log and syncs nothing).
TEST(StoreConnection, ARegistryValueSetAgainIsWrittenOnlyWhenItChanged) {
  TempDir dir;
  const std::string path = dir.file("store.db");
  MakeStore(path, {"a"});
  std::unique_ptr<ServerStore> store;
  ASSERT_TRUE(ServerStore::Open(path, store).ok);
  const RegistryValue first{0, "Huxwire", "nCollectClientConfig", "INTEGER", "1", 1, 0, 0};
  auto text = [](const RegistryValue& v) {
    return v.path + "|" + v.name + "|" + v.type + "|" + v.value + "|" + std::to_string(v.mode) +
           "|" + std::to_string(v.flags) + "|" + std::to_string(v.options);
  };
  auto walSize = [&] {
    struct stat st {};
    return ::stat((path + "-wal").c_str(), &st) == 0 ? st.st_size : -1;
  };
  struct Case {
    const char* what;
    std::function<void(RegistryValue&)> change;
  } cases[] = {
      {"the same again", [](RegistryValue&) {}},
      {"another type", [](RegistryValue& v) { v.type = "STRING"; }},
      {"another value", [](RegistryValue& v) { v.value = "0"; }},
      {"another mode", [](RegistryValue& v) { v.mode = 2; }},
      {"other flags", [](RegistryValue& v) { v.flags = 4; }},
      {"other options", [](RegistryValue& v) { v.options = 8; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(store->SetRegistryValues({1}, {first}, nullptr).ok);
    const auto before = walSize();
    RegistryValue again = first;
    c.change(again);
    ASSERT_TRUE(store->SetRegistryValues({1}, {again}, nullptr).ok);
    std::vector<RegistryValue> stored;
    ASSERT_TRUE(store->RegistryValues(1, stored).ok);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(text(stored[0]), text(again));
    EXPECT_EQ(walSize() == before, text(again) == text(first));
  }
}

}  // namespace
