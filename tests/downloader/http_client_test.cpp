#include "downloader/http_client.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <thread>

#include "common/fs_util.h"
#include "downloader/result_codes.h"
#include "downloader/run_context.h"
#include "tests/camsim/camsim_in_process.h"
#include "tests/downloader/run_fixture.h"
#include "tests/support/test_env.h"

namespace pondrel::dl {
namespace {

using pondrel::test::CamsimInProcess;

class HttpClientTest : public ::testing::Test {
 protected:
  HttpClientTest() {
    ctx_.log.Set(env_.Path("dl.log"), "task", "cam");
    ctx_.progress = &progress_;
    ctx_.timeouts.connect_retries = 0;
    job_.context = &ctx_;
    job_.host_name = "127.0.0.1";
    job_.http_port = static_cast<std::uint32_t>(camera_.port());
    job_.account = "admin";
    job_.password = "secret";
  }
  std::string Log() const { return test::ReadFile(env_.Path("dl.log")); }

  test::ScopedTestEnv env_;
  test::RecordingProgress progress_;
  CamsimInProcess camera_;
  RunContext ctx_;
  DownloadJob job_;
};

TEST(HttpHelpers, BasicAuthorizationHeader) {
  EXPECT_EQ("Authorization: Basic Og==", BasicAuthorizationHeader("", ""));
  EXPECT_EQ("Authorization: Basic YWRtaW46c2VjcmV0", BasicAuthorizationHeader("admin", "secret"));
}

TEST(HttpHelpers, IdentifierCannotBreakTheRequestLine) {
  EXPECT_EQ("id=12&x=a/b:c", EncodeIdentifier("id=12&x=a/b:c"));
  EXPECT_EQ("a%20b%23c%25zz%41", EncodeIdentifier("a b#c%zz%41"));
  EXPECT_EQ("x%0D%0AX-Evil:%20y", EncodeIdentifier("x\r\nX-Evil: y"));
  EXPECT_EQ("%C3%A9%7F%00", EncodeIdentifier(std::string("\xc3\xa9\x7f\0", 4)));
  EXPECT_EQ("http://127.0.0.1:80", ServerUrl("127.0.0.1", 80));
  EXPECT_EQ("http://[::1]:8080", ServerUrl("::1", 8080));
}

// Agent name and the Basic header on every request, also for an empty account, and no
// accept types (no "Accept" header); a direct connection ignores the proxy variables of the
// environment.
TEST_F(HttpClientTest, AgentAuthorizationAndNoEnvironmentProxy) {
  setenv("http_proxy", "http://127.0.0.1:1", 1);
  setenv("HTTP_PROXY", "http://127.0.0.1:1", 1);
  char status[20];
  EXPECT_EQ(RunResult::kOk, HttpFetch("/-kvidb-/status", job_, status, sizeof status));
  job_.account.clear();
  job_.password.clear();
  EXPECT_EQ(RunResult::kOk, HttpFetch("/-kvidb-/status", job_, status, sizeof status));
  unsetenv("http_proxy");
  unsetenv("HTTP_PROXY");
  const auto requests = camera_.Requests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ("DuzozOriradoro", requests[0].headers.at("user-agent"));
  EXPECT_EQ("Basic YWRtaW46c2VjcmV0", requests[0].headers.at("authorization"));
  EXPECT_EQ("Basic Og==", requests[1].headers.at("authorization"));
  for (const auto& request : requests) {
    std::string names;
    for (const auto& [name, value] : request.headers) names += name + " ";
    EXPECT_EQ("authorization host user-agent ", names);
  }
  EXPECT_EQ(0u, requests[0].headers.count("via"));
  EXPECT_EQ("", Log());
}

TEST_F(HttpClientTest, StatusCodesMapToResultsAndLogLines) {
  struct Case {
    int status;
    int result;
    const char* line;
  };
  const Case cases[] = {
      {401, 8003, nullptr}, {403, 8001, nullptr},
      {404, 8004, nullptr}, {503, 8005, "<error><task><cam> Disconnected. (D026)"},
      {500, 8006, nullptr}, {302, 8006, nullptr}};
  for (const Case& c : cases) {
    test::WriteFile(env_.Path("dl.log"), "");
    ASSERT_TRUE(camera_.Control("fault.status=code:" + std::to_string(c.status)));
    char status[20];
    EXPECT_EQ(c.result, ResultCode(HttpFetch("/-kvidb-/status", job_, status, sizeof status)))
        << c.status;
    if (c.line) {
      EXPECT_NE(std::string::npos, Log().find(c.line)) << Log();
    } else {
      EXPECT_EQ("", Log()) << c.status;
    }
  }
  // Nobody listening: a communication error.
  job_.http_port = static_cast<std::uint32_t>(test::FreeLoopbackPort());
  test::WriteFile(env_.Path("dl.log"), "");
  EXPECT_EQ(RunResult::kHttpError, HttpFetch("/-kvidb-/status", job_));
  EXPECT_NE(std::string::npos, Log().find("<error><task><cam> Communication error (D011)"));
}

// A body that goes to a file arrives whole, however long; a picture answered 403 leaves no
// file; the status bytes are copied from memory.
TEST_F(HttpClientTest, BodiesToFilesAreWholeAndOnlyFor200) {
  const std::string big = CamsimInProcess::MakePicture(2'500'000, 7);
  camera_.AddPicture("20240102/10000000", "big", big);
  camera_.AddPicture("20240102/10000100", "no", "x");
  ASSERT_TRUE(camera_.Control("fault.data.no=code:403"));
  job_.target_file = env_.Path("big.jpg");
  ASSERT_EQ(RunResult::kOk, HttpFetch("/-kvidb-/data?big", job_));
  EXPECT_TRUE(test::ReadFile(job_.target_file) == big);
  job_.target_file = env_.Path("no.jpg");
  EXPECT_EQ(RunResult::kHttpForbidden, HttpFetch("/-kvidb-/data?no", job_));
  struct stat st;
  EXPECT_NE(0, ::stat(job_.target_file.c_str(), &st));

  ASSERT_TRUE(camera_.Control("state=3"));
  job_.target_file.clear();
  unsigned char status[20];
  ASSERT_EQ(RunResult::kOk,
            HttpFetch("/-kvidb-/status", job_, reinterpret_cast<char*>(status), 20));
  EXPECT_EQ(3, status[3]);
  EXPECT_EQ(2, status[7]);

  job_.target_file = env_.Path("missing-dir/x.jpg");
  EXPECT_EQ(RunResult::kResponseFileError, HttpFetch("/-kvidb-/data?big", job_));
  EXPECT_NE(std::string::npos, Log().find("Work file I/O error (D018)"));
}

TEST_F(HttpClientTest, HostileIdentifierStaysInTheRequestLine) {
  camera_.AddPicture("20240102/10000000", "a%20b%0D%0AX-Evil:%20y",
                     CamsimInProcess::MakePicture(100));
  job_.target_file = env_.Path("p.jpg");
  EXPECT_EQ(RunResult::kOk,
            HttpFetch("/-kvidb-/data?" + EncodeIdentifier("a b\r\nX-Evil: y"), job_));
  const auto requests = camera_.Requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ("/-kvidb-/data?a%20b%0D%0AX-Evil:%20y", requests[0].target);
  EXPECT_EQ(0u, requests[0].headers.count("x-evil"));
}

TEST_F(HttpClientTest, AbortFlagEndsTheRequestAfterARead) {
  camera_.AddPictures(1);
  ctx_.abort = true;
  job_.target_file = env_.Path("p.jpg");
  EXPECT_EQ(RunResult::kAborted, HttpFetch("/-kvidb-/data?id2024010210000000", job_));
  EXPECT_NE(std::string::npos, Log().find("<warning><task><cam> Download has aborted. (D003)"));
}

// A stalled body is ended by the close request (the watchdog's way) from the client's own
// callbacks, or by the receive time-out.
TEST_F(HttpClientTest, StalledBodyClosedOrTimedOut) {
  camera_.AddPictures(1, "20240102", 0, 50000);
  ASSERT_TRUE(camera_.Control("fault.data.id2024010210000000=stall:86400"));
  job_.target_file = env_.Path("p.jpg");
  RunResult result = RunResult::kOk;
  std::thread fetch([&] { result = HttpFetch("/-kvidb-/data?id2024010210000000", job_); });
  camera_.WaitUntilStalling();
  EXPECT_TRUE(ctx_.request_open.load());
  ctx_.CloseCurrentRequest();
  fetch.join();
  EXPECT_EQ(RunResult::kHttpError, result);
  EXPECT_FALSE(ctx_.request_open.load());
  EXPECT_NE(std::string::npos, Log().find("Communication error (D011)"));

  ctx_.timeouts.receive_ms = 1000;
  EXPECT_EQ(RunResult::kHttpTimeout, HttpFetch("/-kvidb-/data?id2024010210000000", job_));
}

// A camera that trickles keeps sending, so the idle time-out never fires: a body slower than
// the minimum rate over the window, or a request longer than the overall cap, ends with the
// time-out result and nothing of it is kept.
TEST_F(HttpClientTest, TrickleEndsWithTheTimeOutResult) {
  camera_.AddPictures(2, "20240102", 0, 300000);
  ASSERT_TRUE(camera_.Control("fault.data=trickle:4"));
  ctx_.timeouts.receive_ms = 2000;
  job_.target_file = env_.Path("p.jpg");
  EXPECT_EQ(RunResult::kHttpTimeout, HttpFetch("/-kvidb-/data?id2024010210000000", job_));
  EXPECT_NE(std::string::npos, Log().find("Communication error (D011)"));
  EXPECT_FALSE(FileExists(job_.target_file));

  // Fast enough for the rate, but the request may not last for ever.
  ASSERT_TRUE(camera_.Control("fault.data=trickle:2000"));
  ctx_.timeouts.min_bytes_per_second = 100;
  ctx_.timeouts.request_max_ms = 1500;
  EXPECT_EQ(RunResult::kHttpTimeout, HttpFetch("/-kvidb-/data?id2024010210000100", job_));
  EXPECT_FALSE(FileExists(job_.target_file));
}

TEST_F(HttpClientTest, ThroughTinyproxy) {
  if (!test::TinyProxy::Available()) GTEST_SKIP() << "/usr/bin/tinyproxy is missing";
  test::TinyProxy proxy(env_.Dir());
  ASSERT_TRUE(proxy.ok());
  camera_.AddPictures(1, "20240102", 0, 300000);
  job_.use_proxy = true;
  job_.proxy_host = "127.0.0.1";
  job_.proxy_port = proxy.port();
  setenv("no_proxy", "127.0.0.1", 1);  // a bypass list of the environment does not apply
  job_.target_file = env_.Path("p.jpg");
  EXPECT_EQ(RunResult::kOk, HttpFetch("/-kvidb-/data?id2024010210000000", job_));
  unsetenv("no_proxy");
  const auto requests = camera_.Requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_NE(std::string::npos, requests[0].headers.at("via").find("tinyproxy"));
  EXPECT_EQ("Basic YWRtaW46c2VjcmV0", requests[0].headers.at("authorization"));
  EXPECT_EQ("no-cache", requests[0].headers.at("cache-control"));
  EXPECT_EQ(300000u - 8, test::ReadFile(job_.target_file).size());
}

}  // namespace
}  // namespace pondrel::dl
