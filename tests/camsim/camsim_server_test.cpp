// The camsim executable over loopback: the four camera requests with their credentials,
// deletion, the request log, faults chosen on the command line and through the control
// request, and a clean end on SIGTERM.
#include <gtest/gtest.h>

#include <httplib.h>

#include <string>
#include <thread>
#include <vector>

#include "camsim/camera_protocol.h"
#include "common/text_util.h"
#include "imagestore/picture_header.h"
#include "tests/camsim/camsim_process.h"

namespace pondrel::test {
namespace {

httplib::Headers Auth(const std::string& credentials) {
  return {{"Authorization", "Basic " + Base64Encode(credentials)}};
}

std::unique_ptr<httplib::Client> ClientFor(const CamsimProcess& cam, int read_timeout_s = 30) {
  auto client = std::make_unique<httplib::Client>("127.0.0.1", cam.port());
  client->set_connection_timeout(5);
  client->set_read_timeout(read_timeout_s);
  client->set_keep_alive(false);
  return client;
}

const std::vector<std::string> kAccounts = {
    "--pictures",    "17",  "--picture-size",   "6000", "--start",    "2024/02/29/23/59/58",
    "--interval-cs", "50",  "--user",           "cam",  "--password", "pw",
    "--admin-user",  "adm", "--admin-password", "sec"};

TEST(CamsimServer, ServesTheFourRequestsAndDeletesForReal) {
  CamsimProcess cam(kAccounts);
  ASSERT_TRUE(cam.ok()) << cam.Output();
  auto client = ClientFor(cam);

  auto status = client->Get("/-kvidb-/status", Auth("cam:pw"));
  ASSERT_TRUE(status);
  EXPECT_EQ(status->status, 200);
  EXPECT_EQ(status->body, camsim::BuildStatusBody(0, 17));

  auto list = client->Get("/-kvidb-/enum?type=list&limit=0", Auth("cam:pw"));
  ASSERT_TRUE(list);
  EXPECT_EQ(list->status, 200);
  EXPECT_EQ(list->body.substr(0, 84),
            "20240229/23595800 1\r\n20240229/23595850 2\r\n"
            "20240229/23595900 3\r\n20240229/23595950 4\r\n");
  EXPECT_NE(list->body.find("20240301/00000000 5\r\n"), std::string::npos);

  auto picture = client->Get("/-kvidb-/data?5", Auth("cam:pw"));
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->status, 200);
  EXPECT_EQ(picture->body.size(), 6000u);
  EXPECT_EQ(picture->get_header_value("Content-Type"), "image/jpeg");
  PictureHeader header;
  ASSERT_TRUE(ParsePictureHeader(picture->body, &header));
  EXPECT_EQ(header.extension, 1);

  // Deletion in batches of 8, 8 and 1, as the downloader sends them.
  std::vector<std::string> batches = {"", "", ""};
  for (int id = 1; id <= 17; ++id) {
    std::string& b = batches[(id - 1) / 8];
    b += (b.empty() ? "iid=" : "&iid=") + std::to_string(id);
  }
  for (const std::string& b : batches) {
    auto del = client->Get("/-kvidb-/rpdel?" + b, Auth("adm:sec"));
    ASSERT_TRUE(del);
    EXPECT_EQ(del->status, 200);
  }
  EXPECT_EQ(cam.Stats()["rpdel_batches"], "8,8,1");
  EXPECT_EQ(cam.Stat("deleted"), 17);
  EXPECT_EQ(cam.Stat("pictures"), 0);
  EXPECT_EQ(client->Get("/-kvidb-/data?5", Auth("cam:pw"))->status, 404);
  EXPECT_EQ(client->Get("/-kvidb-/enum?type=list&limit=0", Auth("cam:pw"))->body, "");
  EXPECT_EQ(client->Get("/-kvidb-/status", Auth("cam:pw"))->body, camsim::BuildStatusBody(0, 0));

  const std::vector<CamsimRequest> log = cam.Requests("/-kvidb-/");
  ASSERT_EQ(log.size(), 9u);
  EXPECT_EQ(log[0].method, "GET");
  EXPECT_EQ(log[0].target, "/-kvidb-/status");
  EXPECT_EQ(log[0].status, 200);
  EXPECT_EQ(log[0].bytes, 20);
  EXPECT_EQ(log[2].target, "/-kvidb-/data?5");
  EXPECT_EQ(log[2].bytes, 6000);
  const std::vector<CamsimRequest> deletes = cam.Requests("/-kvidb-/rpdel");
  ASSERT_EQ(deletes.size(), 3u);
  EXPECT_EQ(deletes[2].target, "/-kvidb-/rpdel?iid=17");
  EXPECT_EQ(cam.Stop(), 0);
}

TEST(CamsimServer, RefusesWrongCredentials) {
  CamsimProcess cam(kAccounts);
  ASSERT_TRUE(cam.ok()) << cam.Output();
  auto client = ClientFor(cam);
  EXPECT_EQ(client->Get("/-kvidb-/status")->status, 401);
  EXPECT_EQ(client->Get("/-kvidb-/status", Auth("cam:PW"))->status, 401);
  EXPECT_EQ(client->Get("/-kvidb-/status", Auth("adm:sec"))->status, 200);
  auto refused = client->Get("/-kvidb-/rpdel?iid=1", Auth("cam:pw"));
  EXPECT_EQ(refused->status, 401);
  EXPECT_EQ(refused->get_header_value("WWW-Authenticate"), "Basic realm=\"camsim\"");
  EXPECT_EQ(cam.Stat("pictures"), 17);
  EXPECT_EQ(cam.Stat("auth_failures"), 3);

  // An empty account and password are still credentials: the encoding of a lone colon.
  CamsimProcess blank({"--user", "", "--password", ""});
  ASSERT_TRUE(blank.ok()) << blank.Output();
  auto c2 = ClientFor(blank);
  EXPECT_EQ(c2->Get("/-kvidb-/status", Auth(":"))->status, 200);
  EXPECT_EQ(blank.Stats()["last_credentials"], ":");
  EXPECT_EQ(c2->Get("/-kvidb-/status")->status, 401);
}

TEST(CamsimServer, ShowsFaultsFromTheCommandLineAndTheControlRequest) {
  CamsimProcess cam({"--pictures", "6", "--picture-size", "4000", "--fault", "data.2=code:403*1",
                     "--fault", "status=code:503*1", "--state", "2"});
  ASSERT_TRUE(cam.ok()) << cam.Output();
  auto client = ClientFor(cam);
  EXPECT_EQ(client->Get("/-kvidb-/status")->status, 503);
  EXPECT_EQ(client->Get("/-kvidb-/status")->body, camsim::BuildStatusBody(2, 6));
  EXPECT_EQ(client->Get("/-kvidb-/data?2")->status, 403);
  EXPECT_EQ(client->Get("/-kvidb-/data?2")->status, 200);

  std::string answer;
  EXPECT_FALSE(cam.Control("fault.data=explode", &answer));
  EXPECT_NE(answer.find("explode"), std::string::npos);
  ASSERT_TRUE(
      cam.Control("state=0\nfault.data.3=error\nfault.data.4=drop@1000\n"
                  "fault.data.5=stall:1\nfault.data.6=trickle:20000\n"
                  "fault.data.1=oversize:2500000\nadd=2",
                  &answer))
      << answer;
  EXPECT_EQ(client->Get("/-kvidb-/status")->body, camsim::BuildStatusBody(0, 8));
  EXPECT_EQ(client->Get("/-kvidb-/data?3")->body, "error");

  // A dropped connection: part of the announced body, then the end.
  EXPECT_FALSE(client->Get("/-kvidb-/data?4"));
  // A stall and a trickle delay the body but deliver all of it.
  auto stalled = client->Get("/-kvidb-/data?5");
  ASSERT_TRUE(stalled);
  EXPECT_EQ(stalled->body.size(), 4000u);
  auto trickled = client->Get("/-kvidb-/data?6");
  ASSERT_TRUE(trickled);
  EXPECT_EQ(trickled->body.size(), 4000u);
  auto big = client->Get("/-kvidb-/data?1");
  ASSERT_TRUE(big);
  EXPECT_EQ(big->body.size(), 2500000u);
  EXPECT_EQ(client->Get("/-kvidb-/data?8")->status, 200);  // added while running

  const std::vector<CamsimRequest> data = cam.Requests("/-kvidb-/data?");
  ASSERT_EQ(data.size(), 8u);
  EXPECT_EQ(data[3].target, "/-kvidb-/data?4");
  EXPECT_EQ(data[3].bytes, 1000);  // the dropped one
  EXPECT_EQ(data[6].bytes, 2500000);
  EXPECT_EQ(cam.Stat("faults_applied"), 7);
}

TEST(CamsimServer, EndsCleanlyOnSigtermEvenDuringAStall) {
  CamsimProcess cam({"--pictures", "1", "--fault", "data=stall:600"});
  ASSERT_TRUE(cam.ok()) << cam.Output();
  std::thread reader([&] {
    auto client = ClientFor(cam, 700);
    client->Get("/-kvidb-/data?1");
  });
  // Wait until the stalled request is in the middle of its body.
  for (int i = 0; i < 500 && cam.Stat("data_requests") < 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(cam.Stop(), 0);  // not killed after the 10-second grace
  reader.join();
  EXPECT_NE(cam.Output().find("camsim stopped"), std::string::npos);
}

TEST(CamsimServer, RefusesBadOptionsAtOnce) {
  CamsimProcess wide({"--bind", "0.0.0.0"});
  EXPECT_FALSE(wide.ok());
  EXPECT_NE(wide.Output().find("--bind"), std::string::npos);
  CamsimProcess fault({"--fault", "data=explode"});
  EXPECT_FALSE(fault.ok());
}

}  // namespace
}  // namespace pondrel::test
