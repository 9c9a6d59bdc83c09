#include "taskview/server_editor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "common/named_object.h"

#include "taskview/tasdek_doc.h"
#include "tests/support/test_env.h"
#include "tests/taskview/test_helpers.h"

namespace pondrel::tasdek {
namespace {

using testing::MakeTask;
using testing::StoreTask;

class ServerEditorTest : public ::testing::Test {
 protected:
  ServerEditorForm Form(const std::string& name, const std::string& dir) {
    ServerEditorForm f = FormFromServer(CKVSrvInfo(), {});
    f.server_name = name;
    f.image_directory = env_.Dir() + "/" + dir;
    f.host_name = "127.0.0.1";
    return f;
  }
  ServerSaveResult Save(const ServerEditorForm& f, CKVSrvInfo* rec) {
    return SaveServer(f, rec, [this](const Guid& id) { return running_ && id == running_id_; });
  }

  test::ScopedTestEnv env_;
  bool running_ = false;
  Guid running_id_;
};

TEST_F(ServerEditorTest, NewServerIsAddedAndCarriesItsIdentifier) {
  CKVSrvInfo rec;
  ServerSaveResult r = Save(Form("  cam 1  ", "img"), &rec);
  ASSERT_EQ(r.outcome, ServerEdit::kDone) << r.message;
  EXPECT_FALSE(rec.GetId().IsZero());
  EXPECT_EQ(rec.GetServerName(), "cam 1");
  std::vector<CKVSrvInfo> list;
  ASSERT_EQ(LoadServerList(&list), SrvResult::SRV_OK);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].GetId(), rec.GetId());
  EXPECT_EQ(ServerListProxyText(list[0]), "----------");
  EXPECT_EQ(ServerListPppText(list[0]), "----------");
}

TEST_F(ServerEditorTest, StoreConflictsAreWordedAsTheEditorDoes) {
  CKVSrvInfo a;
  ASSERT_EQ(Save(Form("cam", "img"), &a).outcome, ServerEdit::kDone);
  CKVSrvInfo b;
  ServerSaveResult r = Save(Form("cam", "other"), &b);
  EXPECT_EQ(r.outcome, ServerEdit::kStoreFailed);
  EXPECT_EQ(r.store, SrvResult::SRV_ERR_NAME_EXISTS);
  EXPECT_EQ(r.message, "The specified server name already exists.");
  r = Save(Form("cam2", "IMG/sub"), &b);
  EXPECT_EQ(r.outcome, ServerEdit::kStoreFailed);
  EXPECT_EQ(r.store, SrvResult::SRV_ERR_DIR_IN_USE);
  EXPECT_EQ(r.message, "The specified image directory is already in use.");
  EXPECT_TRUE(b.GetId().IsZero());  // nothing stored, the caller's record unchanged
}

TEST_F(ServerEditorTest, ValidationMessagesFollowTheSetterOrder) {
  CKVSrvInfo rec;
  ServerEditorForm f = Form("cam", "img");
  f.http_port = "0";
  f.host_name = "";
  // The host name comes before the port in the dialog's order.
  EXPECT_EQ(Save(f, &rec).message, "Host Name is not specified.");
  f.host_name = "h";
  EXPECT_EQ(Save(f, &rec).message, "Specify HTTP Port in the range of 1 to 65535.");
  f.http_port = "65536";
  EXPECT_EQ(Save(f, &rec).message, "Specify HTTP Port in the range of 1 to 65535.");
  f.http_port = "8a";
  EXPECT_EQ(Save(f, &rec).message, "HTTP Port is invalid format.");
  f.http_port = "80";
  f.server_name = "a|b";
  EXPECT_EQ(Save(f, &rec).message,
            "The following characters are invalid for a Server Name. \n \" \\ / | : ; , * ? < >");
  f.server_name = ".cam";
  EXPECT_EQ(Save(f, &rec).message, "Server Name is invalid format.");
  f.server_name = "cam";
  f.admin_account = std::string(16, 'a');
  EXPECT_EQ(Save(f, &rec).message,
            "Please enter Administrator Account with 15 charactors or less.");
  f.admin_account = "";
  f.delete_images = true;
  EXPECT_EQ(Save(f, &rec).message, "Administrator Account is not specified.");
  f.delete_images = false;
  f.use_proxy = true;
  f.proxy_port = "";
  f.proxy_host = "proxy";
  EXPECT_EQ(Save(f, &rec).message, "HTTP Proxy Port is not specified.");
  f.image_directory = "relative/dir";
  EXPECT_EQ(Save(f, &rec).message, "Image Directory is invalid format.");
  EXPECT_TRUE(rec.GetId().IsZero());
  std::vector<CKVSrvInfo> list;
  ASSERT_EQ(LoadServerList(&list), SrvResult::SRV_OK);
  EXPECT_TRUE(list.empty());
}

TEST_F(ServerEditorTest, UnusedProxyFieldsKeepTheirStoredValues) {
  CKVSrvInfo rec;
  ServerEditorForm f = Form("cam", "img");
  f.use_proxy = true;
  f.proxy_host = "proxy.example";
  f.proxy_port = "3128";
  ASSERT_EQ(Save(f, &rec).outcome, ServerEdit::kDone);
  f = FormFromServer(rec, {});
  f.use_proxy = false;
  f.proxy_host = "ignored";
  ASSERT_EQ(Save(f, &rec).outcome, ServerEdit::kDone);
  EXPECT_EQ(rec.GetUseProxy(), 0);
  EXPECT_EQ(rec.GetProxyHost(), "proxy.example");
  EXPECT_EQ(rec.GetProxyPort(), 3128);
}

TEST_F(ServerEditorTest, RunningServerCannotBeChangedOrDeleted) {
  CKVSrvInfo rec;
  ASSERT_EQ(Save(Form("cam", "img"), &rec).outcome, ServerEdit::kDone);
  CKVTask t = MakeTask("busy", rec.GetId());
  t.ActState = kStateRunning;
  StoreTask(t);
  running_ = true;
  running_id_ = rec.GetId();
  ServerEditorForm f = FormFromServer(rec, {});
  f.server_name = "renamed";
  ServerSaveResult r = Save(f, &rec);
  EXPECT_EQ(r.message, "You can not modify a running server's information.");
  EXPECT_EQ(rec.GetServerName(), "cam");

  CTasdekDoc doc;
  ASSERT_EQ(doc.LoadTasks(), DocResult::kOk);
  ServerDeleteResult d = DeleteServerWithTasks(rec.GetId(), &doc);
  EXPECT_EQ(d.message, "You can not modify a running server's information.");
  std::vector<CKVSrvInfo> list;
  ASSERT_EQ(LoadServerList(&list), SrvResult::SRV_OK);
  EXPECT_EQ(list.size(), 1u);
}

TEST_F(ServerEditorTest, RenameKeepsTasksAndDeleteTakesThemAlong) {
  CKVSrvInfo rec, keep;
  ASSERT_EQ(Save(Form("cam", "img"), &rec).outcome, ServerEdit::kDone);
  ASSERT_EQ(Save(Form("keep", "keep"), &keep).outcome, ServerEdit::kDone);
  StoreTask(MakeTask("t1", rec.GetId()));
  StoreTask(MakeTask("t2", keep.GetId()));
  ServerEditorForm f = FormFromServer(rec, {});
  f.server_name = "renamed";
  ASSERT_EQ(Save(f, &rec).outcome, ServerEdit::kDone);
  CTasdekDoc doc;
  ASSERT_EQ(doc.LoadTasks(), DocResult::kOk);
  EXPECT_EQ(doc.FindTask("t1")->server_name, "renamed");

  ServerDeleteResult d = DeleteServerWithTasks(rec.GetId(), &doc);
  EXPECT_EQ(d.outcome, ServerEdit::kDone);
  EXPECT_EQ(doc.FindTask("t1"), nullptr);
  CTasdekDoc reread;
  ASSERT_EQ(reread.LoadTasks(), DocResult::kOk);
  ASSERT_EQ(reread.Tasks().size(), 1u);
  EXPECT_STREQ(reread.Tasks()[0].task.Name, "t2");
  CKVTaskMgr mgr;
  CKVTask gone;
  ASSERT_EQ(mgr.ReadTask("t1", &gone), 0);
  EXPECT_STRNE(gone.Name, "t1");
}

TEST_F(ServerEditorTest, SaveWaitsWhileAnotherProgramHoldsTheProfileLock) {
  NamedLock held(kSrvLockName);
  ASSERT_TRUE(held.TryLock());
  CKVSrvMgr store;
  ASSERT_TRUE(store.Init());
  store.SetLockRetry(2, 20);  // each attempt gives up quickly; the editor tries again
  std::thread release([&held] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    held.Unlock();
  });
  CKVSrvInfo rec;
  ServerSaveResult r = SaveServer(
      Form("cam", "img"), &rec, [](const Guid&) { return false; }, &store);
  release.join();
  EXPECT_EQ(r.outcome, ServerEdit::kDone) << r.message;
  EXPECT_FALSE(rec.GetId().IsZero());
}

TEST(ServerEditorForm, ConnectionListSelectsStoredEntryElseFirst) {
  CKVSrvInfo rec;
  rec.SetUsePpp(1);
  EXPECT_TRUE(rec.SetPppConnectionName("office").ok());
  EXPECT_EQ(FormFromServer(rec, {"home", "office"}).ppp_connection_name, "office");
  EXPECT_TRUE(rec.SetPppConnectionName("gone").ok());
  EXPECT_EQ(FormFromServer(rec, {"home", "office"}).ppp_connection_name, "home");
  EXPECT_EQ(FormFromServer(rec, {}).ppp_connection_name, "");
}

}  // namespace
}  // namespace pondrel::tasdek
