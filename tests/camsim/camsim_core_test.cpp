// The simulator's HTTP-independent core: recording times and keys, the picture files, the
// picture store, the request formats, the fault plan and the server's decisions.
#include <gtest/gtest.h>

#include <csetjmp>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "camsim/camera_protocol.h"
#include "camsim/camera_server.h"
#include "camsim/camera_time.h"
#include "camsim/camsim_options.h"
#include "camsim/fault_plan.h"
#include "camsim/picture_file.h"
#include "camsim/picture_store.h"
#include "camsim/request_log.h"
#include "common/text_util.h"
#include "imagestore/picture_header.h"

#ifdef CAMSIM_TEST_LIBJPEG
#include <jpeglib.h>
#endif

namespace pondrel::camsim {
namespace {

CameraTime Time(const char* text) {
  CameraTime t;
  EXPECT_TRUE(ParseTimeString(text, &t)) << text;
  return t;
}

unsigned Be16(const std::string& s, size_t at) {
  return (static_cast<unsigned char>(s[at]) << 8) | static_cast<unsigned char>(s[at + 1]);
}

// Walks the marker segments of a JPEG file up to the scan, then finds EOI; returns the list of
// markers met, or an empty list when the structure is broken.
std::vector<int> JpegMarkers(const std::string& f) {
  std::vector<int> markers;
  if (f.size() < 4 || Be16(f, 0) != 0xFFD8) return {};
  size_t at = 2;
  while (at + 4 <= f.size()) {
    if (static_cast<unsigned char>(f[at]) != 0xFF) return {};
    const int marker = static_cast<unsigned char>(f[at + 1]);
    markers.push_back(marker);
    const size_t len = Be16(f, at + 2);
    if (len < 2 || at + 2 + len > f.size()) return {};
    at += 2 + len;
    if (marker == 0xDA) {
      // Entropy-coded data: a 0xFF inside it is always followed by 0x00 (or a restart).
      while (at + 1 < f.size()) {
        if (static_cast<unsigned char>(f[at]) == 0xFF && f[at + 1] != 0) break;
        ++at;
      }
      if (at + 2 != f.size() || Be16(f, at) != 0xFFD9) return {};
      markers.push_back(0xD9);
      return markers;
    }
  }
  return {};
}

#ifdef CAMSIM_TEST_LIBJPEG
struct JpegError {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
};

void OnJpegError(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<JpegError*>(cinfo->err)->jump, 1);
}

// Decodes the whole file; false on any libjpeg error. *width, *height, *first get the frame
// size and the first sample.
bool DecodeJpeg(const std::string& file, unsigned* width, unsigned* height, int* first) {
  jpeg_decompress_struct cinfo;
  JpegError err;
  cinfo.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = OnJpegError;
  static std::vector<unsigned char> row;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(file.data()), file.size());
  jpeg_read_header(&cinfo, TRUE);
  jpeg_start_decompress(&cinfo);
  row.assign(cinfo.output_width * cinfo.output_components, 0);
  JSAMPROW rows[1] = {row.data()};
  while (cinfo.output_scanline < cinfo.output_height) jpeg_read_scanlines(&cinfo, rows, 1);
  *width = cinfo.output_width;
  *height = cinfo.output_height;
  *first = row[0];
  const bool clean = err.mgr.num_warnings == 0;
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return clean;
}
#endif

TEST(CamsimTime, ParsesOnlyRealTimeStrings) {
  CameraTime t;
  ASSERT_TRUE(ParseTimeString("2024/02/29/23/59/58", &t));
  EXPECT_EQ(t.year, 2024);
  EXPECT_EQ(t.month, 2);
  EXPECT_EQ(t.day, 29);
  EXPECT_EQ(t.second, 58);
  EXPECT_FALSE(ParseTimeString("2023/02/29/00/00/00", &t));  // no leap day
  EXPECT_FALSE(ParseTimeString("2024/04/31/00/00/00", &t));
  EXPECT_FALSE(ParseTimeString("2024/01/01/24/00/00", &t));
  EXPECT_FALSE(ParseTimeString("2024/1/01/00/00/000", &t));
  EXPECT_FALSE(ParseTimeString("2024-01-01-00-00-00", &t));
  EXPECT_FALSE(ParseTimeString("1969/12/31/23/59/59", &t));
  EXPECT_FALSE(ParseTimeString("2024/01/01/00/00/00 ", &t));
}

TEST(CamsimTime, KeysFollowTheClockAcrossDaysMonthsAndYears) {
  const std::int64_t start = ToCentiseconds(Time("2023/12/31/23/59/59"));
  EXPECT_EQ(PictureKey(FromCentiseconds(start)), "20231231/23595900");
  EXPECT_EQ(PictureKey(FromCentiseconds(start + 99)), "20231231/23595999");
  EXPECT_EQ(PictureKey(FromCentiseconds(start + 150)), "20240101/00000050");
  const std::int64_t leap = ToCentiseconds(Time("2024/02/28/12/00/00"));
  EXPECT_EQ(PictureKey(FromCentiseconds(leap + 100LL * 86400)), "20240229/12000000");
  EXPECT_EQ(PictureKey(FromCentiseconds(leap + 200LL * 86400)), "20240301/12000000");
  // The epoch of the camera's clock is 1970-01-01 00:00 of its own time.
  EXPECT_EQ(ToCentiseconds(Time("1970/01/02/00/00/01")), 8640100);
}

TEST(CamsimPictureFile, CarriesTheCameraHeaderWhereReadersLookForIt) {
  PictureHeaderFields h;
  h.trigger = 34;
  h.camera = 3;
  h.pan = 27000;
  h.tilt = 9000;
  h.zoom = 250;
  h.brightness = 2;
  h.record_time = 0x12345678;
  h.zone_offset = -300;
  h.extension = 1;
  h.width = 704;
  h.height = 576;
  const std::string f = BuildPictureFile(h, "label", 0);
  ASSERT_GE(f.size(), 50u);
  EXPECT_EQ(f.substr(0, 6), std::string("\xFF\xD8\xFF\xE0\x00\x2E", 6));
  EXPECT_EQ(f.substr(6, 2), "KV");
  EXPECT_EQ(Be16(f, 6 + 12), 0x1234u);  // big-endian recording time
  EXPECT_EQ(Be16(f, 6 + 14), 0x5678u);
  EXPECT_EQ(Be16(f, 6 + 16), 0xFED4u);  // -300

  // The image store's own reader takes every field as written.
  PictureHeader read;
  ASSERT_TRUE(ParsePictureHeader(f, &read));
  EXPECT_EQ(read.trigger, 34);
  EXPECT_EQ(read.camera, 3);
  EXPECT_EQ(read.pan, 27000);
  EXPECT_EQ(read.tilt, 9000);
  EXPECT_EQ(read.zoom, 250);
  EXPECT_EQ(read.brightness, 2);
  EXPECT_EQ(read.record_time, 0x12345678u);
  EXPECT_EQ(read.zone_offset, -300);
  EXPECT_EQ(read.extension, 1);
  EXPECT_EQ(read.width, 704);
  EXPECT_EQ(read.height, 576);

  // An old camera (no extension) writes 320 x 240 and its frame has that size.
  h.extension = 0;
  const std::string old = BuildPictureFile(h, "label", 0);
  ASSERT_TRUE(ParsePictureHeader(old, &read));
  EXPECT_EQ(read.extension, 0);
  EXPECT_EQ(read.width, 320);
  EXPECT_EQ(read.height, 240);
}

TEST(CamsimPictureFile, IsAWellFormedJpegOfExactlyTheAskedSize) {
  PictureHeaderFields h;
  const std::size_t smallest = BuildPictureFile(h, "camsim x", 0).size();
  for (std::size_t size : {std::size_t{0}, smallest - 1, smallest, smallest + 1, smallest + 3,
                           smallest + 4, smallest + 5, std::size_t{65537 + 1000},
                           std::size_t{131074 + smallest}, std::size_t{2500000}}) {
    const std::string f = BuildPictureFile(h, "camsim x", size);
    EXPECT_EQ(f.size(), std::max(size, smallest)) << "asked " << size;
    const std::vector<int> markers = JpegMarkers(f);
    ASSERT_FALSE(markers.empty()) << "asked " << size;
    EXPECT_EQ(markers.front(), 0xE0);
    EXPECT_EQ(markers.back(), 0xD9);
#ifdef CAMSIM_TEST_LIBJPEG
    unsigned width = 0, height = 0;
    int first = -1;
    ASSERT_TRUE(DecodeJpeg(f, &width, &height, &first)) << "asked " << size;
    EXPECT_EQ(width, 640u);
    EXPECT_EQ(height, 480u);
    EXPECT_EQ(first, 128);  // flat mid-grey
#endif
  }
  // Odd frame sizes leave a partly used last byte.
  h.width = 13;
  h.height = 7;
  EXPECT_FALSE(JpegMarkers(BuildPictureFile(h, "", 0)).empty());
#ifdef CAMSIM_TEST_LIBJPEG
  unsigned width = 0, height = 0;
  int first = -1;
  EXPECT_TRUE(DecodeJpeg(BuildPictureFile(h, "", 0), &width, &height, &first));
  EXPECT_EQ(width, 13u);
#endif
}

TEST(CamsimPictureStore, HoldsASeriesWithKeysAndIdentifiers) {
  PictureSeries s;
  s.start = Time("2024/03/09/23/59/59");
  s.interval_cs = 75;
  s.zone_offset = 540;
  s.cameras = {1, 2};
  s.triggers = {33, 1, 2};
  PictureStore store(s);
  EXPECT_EQ(store.Add(4), 4);
  const std::vector<CamPicture> all = store.Snapshot();
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[0].key, "20240309/23595900");
  EXPECT_EQ(all[1].key, "20240309/23595975");
  EXPECT_EQ(all[2].key, "20240310/00000050");
  EXPECT_EQ(all[0].id, "1");
  EXPECT_EQ(all[3].id, "4");
  EXPECT_EQ(all[1].header.camera, 2);
  EXPECT_EQ(all[2].header.camera, 1);
  EXPECT_EQ(all[2].header.trigger, 2);
  // The key is camera time; the header holds UTC seconds and the zone.
  EXPECT_EQ(all[0].header.record_time, ToCentiseconds(s.start) / 100 - 540 * 60);
  EXPECT_EQ(all[0].header.zone_offset, 540);

  // Deletion removes for good; identifiers are never given again; the series goes on.
  EXPECT_EQ(store.Remove({"2", "3", "3", "99"}), 2);
  EXPECT_FALSE(store.Find("2"));
  ASSERT_TRUE(store.Find("4"));
  EXPECT_EQ(store.Add(1), 1);
  EXPECT_EQ(store.Snapshot().back().id, "5");
  EXPECT_EQ(store.Snapshot().back().key, "20240310/00000200");
  EXPECT_EQ(store.Count(), 3u);
  store.Clear();
  EXPECT_EQ(store.Count(), 0u);

  // A series never leaves four-digit years.
  s.start = Time("9999/12/31/23/59/58");
  s.interval_cs = 100;
  PictureStore late(s);
  EXPECT_EQ(late.Add(5), 2);
}

TEST(CamsimProtocol, ParsesTheFourRequestsAndTheirIdentifiers) {
  ParsedTarget t = ParseTarget("/-kvidb-/status");
  EXPECT_EQ(t.kind, RequestKind::kStatus);
  t = ParseTarget("/-kvidb-/enum?type=list&limit=0");
  EXPECT_EQ(t.kind, RequestKind::kList);
  EXPECT_EQ(t.limit, 0);
  EXPECT_EQ(ParseTarget("/-kvidb-/enum?type=list&limit=5").limit, 5);
  t = ParseTarget("/-kvidb-/data?17");
  EXPECT_EQ(t.kind, RequestKind::kData);
  EXPECT_EQ(t.ids, std::vector<std::string>{"17"});
  EXPECT_FALSE(ParseTarget("/-kvidb-/data").well_formed);
  EXPECT_FALSE(ParseTarget("/-kvidb-/data?").well_formed);
  t = ParseTarget("/-kvidb-/rpdel?iid=1&iid=22&iid=333");
  EXPECT_EQ(t.kind, RequestKind::kDelete);
  EXPECT_EQ(t.ids, (std::vector<std::string>{"1", "22", "333"}));
  EXPECT_TRUE(t.well_formed);
  EXPECT_FALSE(ParseTarget("/-kvidb-/rpdel?").well_formed);
  EXPECT_FALSE(ParseTarget("/-kvidb-/rpdel?iid=1&").well_formed);  // a trailing "&"
  EXPECT_FALSE(ParseTarget("/-kvidb-/rpdel?iid=").well_formed);
  EXPECT_EQ(ParseTarget("/-kvidb-/other").kind, RequestKind::kOther);
  EXPECT_EQ(ParseTarget("/-camsim-/control").kind, RequestKind::kControl);
}

TEST(CamsimProtocol, BuildsTheStatusBodyAndTheList) {
  EXPECT_EQ(BuildStatusBody(2, 0x01020304),
            std::string("\0\0\0\x02\x01\x02\x03\x04", 8) + std::string(12, '\0'));

  PictureSeries s;
  s.start = Time("2024/01/02/03/04/05");
  PictureStore store(s);
  store.Add(3);
  ListFormat f;
  EXPECT_EQ(FormatPictureList(store.Snapshot(), f),
            "20240102/03040500 1\r\n20240102/03040600 2\r\n20240102/03040700 3\r\n");
  f.crlf = false;
  f.limit = 2;
  f.extra_lines = {"garbage-without-blank"};
  EXPECT_EQ(FormatPictureList(store.Snapshot(), f),
            "20240102/03040500 1\n20240102/03040600 2\ngarbage-without-blank\n");
  EXPECT_EQ(FormatPictureList({}, ListFormat{}), "");
}

TEST(CamsimProtocol, DecodesBasicCredentials) {
  EXPECT_EQ(DecodeBasicCredentials("Basic Og=="), ":");  // empty account and password
  EXPECT_EQ(DecodeBasicCredentials("basic dXNlcjpwdw=="), "user:pw");
  EXPECT_EQ(DecodeBasicCredentials("Basic YWRtaW46c2VjcmV0"), "admin:secret");
  EXPECT_EQ(DecodeBasicCredentials("Basic YTpiYw=="), "a:bc");
  EXPECT_EQ(DecodeBasicCredentials("Basic YTpiY2Q="), "a:bcd");
  EXPECT_FALSE(DecodeBasicCredentials("Digest Og=="));
  EXPECT_FALSE(DecodeBasicCredentials("Basic Og="));
  EXPECT_FALSE(DecodeBasicCredentials("Basic O=g="));
  EXPECT_FALSE(DecodeBasicCredentials("Basic Og==Og=="));
  EXPECT_FALSE(DecodeBasicCredentials("Basic O*=="));
  for (const char* text : {"", ":", "a:b", "account15chars:password15chars"}) {
    EXPECT_EQ(DecodeBasicCredentials("Basic " + Base64Encode(text)), text);
  }
}

TEST(CamsimFaultPlan, ParsesTargetsAndActions) {
  FaultTarget t;
  std::optional<Fault> f;
  std::string error;
  ASSERT_TRUE(ParseFaultTarget("data.17", &t, &error));
  EXPECT_EQ(t.kind, RequestKind::kData);
  EXPECT_EQ(t.id, "17");
  EXPECT_TRUE(ParseFaultTarget("rpdel.3", &t, &error));
  EXPECT_FALSE(ParseFaultTarget("status.3", &t, &error));
  EXPECT_FALSE(ParseFaultTarget("data.", &t, &error));
  EXPECT_FALSE(ParseFaultTarget("pictures", &t, &error));

  ASSERT_TRUE(ParseFaultAction("code:503*2", &f, &error));
  EXPECT_EQ(f->action, FaultAction::kCode);
  EXPECT_EQ(f->param, 503);
  EXPECT_EQ(f->times, 2);
  ASSERT_TRUE(ParseFaultAction("stall:5", &f, &error));
  EXPECT_EQ(f->action, FaultAction::kStall);
  EXPECT_EQ(f->times, -1);
  ASSERT_TRUE(ParseFaultAction("drop@0*3", &f, &error));
  EXPECT_EQ(f->action, FaultAction::kDrop);
  EXPECT_EQ(f->at, 0);
  EXPECT_EQ(f->times, 3);
  ASSERT_TRUE(ParseFaultAction("stall:9@100", &f, &error));
  EXPECT_EQ(f->param, 9);
  EXPECT_EQ(f->at, 100);
  ASSERT_TRUE(ParseFaultAction("none", &f, &error));
  EXPECT_FALSE(f);
  for (const char* bad :
       {"code", "code:99", "code:600", "drop:1", "error:2", "trickle:0", "oversize:", "stall:-1",
        "code:503*0", "code:503*x", "explode", "error@3", "drop@", "stall:1@-2"}) {
    EXPECT_FALSE(ParseFaultAction(bad, &f, &error)) << bad;
  }
}

TEST(CamsimFaultPlan, ConnectionFaultsTakeNoArgument) {
  std::optional<Fault> f;
  std::string error;
  ASSERT_TRUE(ParseFaultAction("close", &f, &error));
  EXPECT_EQ(f->action, FaultAction::kClose);
  ASSERT_TRUE(ParseFaultAction("hangup*2", &f, &error));
  EXPECT_EQ(f->action, FaultAction::kHangUp);
  EXPECT_EQ(DescribeFault(FaultTarget{RequestKind::kData, ""}, *f), "data=hangup*2");
  for (const char* bad : {"close:1", "hangup@3", "hangup:", "closed"}) {
    EXPECT_FALSE(ParseFaultAction(bad, &f, &error)) << bad;
  }
}

TEST(CamsimFaultPlan, PictureFaultsWinAndCountedFaultsRunOut) {
  FaultPlan plan;
  plan.Set({RequestKind::kData, ""}, Fault{FaultAction::kCode, 503, 2});
  plan.Set({RequestKind::kData, "7"}, Fault{FaultAction::kErrorBody, 0, -1});
  plan.Set({RequestKind::kDelete, "9"}, Fault{FaultAction::kCode, 401, 1});

  EXPECT_EQ(plan.Take(RequestKind::kData, {"7"})->action, FaultAction::kErrorBody);
  EXPECT_EQ(plan.Take(RequestKind::kData, {"7"})->action, FaultAction::kErrorBody);
  EXPECT_EQ(plan.Take(RequestKind::kData, {"1"})->param, 503);
  EXPECT_EQ(plan.Take(RequestKind::kData, {"2"})->param, 503);
  EXPECT_FALSE(plan.Take(RequestKind::kData, {"3"}));  // both uses spent
  EXPECT_FALSE(plan.Take(RequestKind::kStatus, {}));
  // A delete fault for one picture hits any batch naming it, once.
  EXPECT_FALSE(plan.Take(RequestKind::kDelete, {"1", "2"}));
  EXPECT_EQ(plan.Take(RequestKind::kDelete, {"8", "9", "10"})->param, 401);
  EXPECT_FALSE(plan.Take(RequestKind::kDelete, {"9"}));
  EXPECT_EQ(plan.Describe(), std::vector<std::string>{"data.7=error"});
  plan.Set({RequestKind::kData, "7"}, std::nullopt);
  EXPECT_TRUE(plan.Empty());
}

class CamsimServerTest : public ::testing::Test {
 protected:
  static CamServerConfig Config() {
    CamServerConfig c;
    ParseTimeString("2024/05/06/07/08/09", &c.series.start);
    c.series.picture_size = 3000;
    c.pictures = 5;
    c.user = Credentials{"user", "pw"};
    c.admin = Credentials{"admin", "secret"};
    return c;
  }
  static IncomingRequest Get(const std::string& target, const char* creds = "user:pw") {
    IncomingRequest r;
    r.method = "GET";
    r.target = target;
    if (creds) r.authorization = "Basic " + Base64Encode(creds);
    return r;
  }
  static IncomingRequest Control(const std::string& body) {
    IncomingRequest r;
    r.method = "POST";
    r.target = "/-camsim-/control";
    r.body = body;
    return r;
  }
  std::string Stat(const std::string& key) {
    std::istringstream in(server_.StatsText());
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
    }
    return "<missing>";
  }
  CamServer server_{Config()};
};

TEST_F(CamsimServerTest, ChecksCredentialsPerRequestKind) {
  EXPECT_EQ(server_.Handle(Get("/-kvidb-/status")).status, 200);
  EXPECT_EQ(server_.Handle(Get("/-kvidb-/status", "admin:secret")).status, 200);
  const ResponsePlan refused = server_.Handle(Get("/-kvidb-/status", "user:wrong"));
  EXPECT_EQ(refused.status, 401);
  ASSERT_EQ(refused.headers.size(), 1u);
  EXPECT_EQ(refused.headers[0].first, "WWW-Authenticate");
  EXPECT_EQ(server_.Handle(Get("/-kvidb-/status", nullptr)).status, 401);
  // Deletion takes only the administrator.
  EXPECT_EQ(server_.Handle(Get("/-kvidb-/rpdel?iid=1", "user:pw")).status, 401);
  EXPECT_EQ(server_.PictureCount(), 5u);
  EXPECT_EQ(server_.Handle(Get("/-kvidb-/rpdel?iid=1", "admin:secret")).status, 200);
  EXPECT_EQ(server_.PictureCount(), 4u);
  EXPECT_EQ(Stat("auth_failures"), "3");
  EXPECT_EQ(Stat("last_credentials"), "admin:secret");
  IncomingRequest agent = Get("/-kvidb-/status");
  agent.user_agent = "DuzozOriradoro";
  server_.Handle(agent);
  EXPECT_EQ(Stat("last_user_agent"), "DuzozOriradoro");

  // Without configured credentials every request is open; an empty account is a real one.
  CamServerConfig open = Config();
  open.user.reset();
  open.admin.reset();
  CamServer anyone(open);
  EXPECT_EQ(anyone.Handle(Get("/-kvidb-/rpdel?iid=1", nullptr)).status, 200);
  CamServerConfig empty = Config();
  empty.user = Credentials{"", ""};
  empty.admin.reset();
  CamServer colon(empty);
  EXPECT_EQ(colon.Handle(Get("/-kvidb-/status", ":")).status, 200);
  EXPECT_EQ(colon.Handle(Get("/-kvidb-/status", nullptr)).status, 401);
  EXPECT_EQ(colon.Handle(Get("/-kvidb-/rpdel?iid=2", ":")).status, 200);
}

TEST_F(CamsimServerTest, ServesStatusListPicturesAndDeletion) {
  ResponsePlan status = server_.Handle(Get("/-kvidb-/status"));
  EXPECT_EQ(status.body, BuildStatusBody(0, 5));
  ResponsePlan list = server_.Handle(Get("/-kvidb-/enum?type=list&limit=0"));
  EXPECT_EQ(list.body.substr(0, 42), "20240506/07080900 1\r\n20240506/07081000 2\r\n");
  ResponsePlan picture = server_.Handle(Get("/-kvidb-/data?2"));
  EXPECT_EQ(picture.status, 200);
  EXPECT_EQ(picture.content_type, "image/jpeg");
  EXPECT_EQ(picture.body.size(), 3000u);
  EXPECT_EQ(server_.Handle(Get("/-kvidb-/data?99")).status, 404);
  EXPECT_EQ(server_.Handle(Get("/-kvidb-/data")).status, 400);

  EXPECT_EQ(server_.Handle(Get("/-kvidb-/rpdel?iid=1&iid=2&iid=77", "admin:secret")).status, 200);
  EXPECT_EQ(server_.Handle(Get("/-kvidb-/data?2")).status, 404);
  list = server_.Handle(Get("/-kvidb-/enum?type=list&limit=0"));
  EXPECT_EQ(list.body.substr(0, 21), "20240506/07081100 3\r\n");
  EXPECT_EQ(server_.Handle(Get("/-kvidb-/status")).body, BuildStatusBody(0, 3));
  EXPECT_EQ(Stat("deleted"), "2");
  EXPECT_EQ(Stat("delete_unknown"), "1");
  EXPECT_EQ(Stat("rpdel_batches"), "3");
  EXPECT_EQ(server_.Handle(Get("/-kvidb-/nothing")).status, 404);
  IncomingRequest post = Get("/-kvidb-/status");
  post.method = "POST";
  EXPECT_EQ(server_.Handle(post).status, 405);
}

TEST_F(CamsimServerTest, IdentifiersTravelVerbatim) {
  CamServerConfig c = Config();
  c.series.id_prefix = "cam/a=b.";
  c.admin.reset();
  CamServer prefixed(c);
  EXPECT_EQ(prefixed.Handle(Get("/-kvidb-/enum?type=list&limit=1")).body,
            "20240506/07080900 cam/a=b.1\r\n");
  EXPECT_EQ(prefixed.Handle(Get("/-kvidb-/data?cam/a=b.1")).status, 200);
  EXPECT_EQ(prefixed.Handle(Get("/-kvidb-/data?1")).status, 404);
  EXPECT_EQ(prefixed.Handle(Control("fault.data.cam/a=b.2=code:403")).status, 200);
  EXPECT_EQ(prefixed.Handle(Get("/-kvidb-/data?cam/a=b.2")).status, 403);
  EXPECT_EQ(prefixed.Handle(Get("/-kvidb-/rpdel?iid=cam/a=b.1&iid=cam/a=b.3")).status, 200);
  EXPECT_EQ(prefixed.PictureCount(), 3u);
}

TEST_F(CamsimServerTest, ControlLinesApplyAllOrNothing) {
  EXPECT_EQ(server_.Handle(Control("state=3\nadd=2\nbogus=1\n")).status, 400);
  EXPECT_EQ(server_.Handle(Get("/-kvidb-/status")).body, BuildStatusBody(0, 5));
  EXPECT_EQ(server_.Handle(Control("state=x\n")).status, 400);
  EXPECT_EQ(server_.Handle(Control("no equals sign\n")).status, 400);

  const ResponsePlan ok = server_.Handle(
      Control("# comment\n\nstate=3\r\nadd=2\ncount=40\nlist-eol=lf\nlist-extra=junk\ndelete=1\n"));
  EXPECT_EQ(ok.status, 200) << ok.body;
  EXPECT_EQ(server_.Handle(Get("/-kvidb-/status")).body, BuildStatusBody(3, 40));
  const std::string list = server_.Handle(Get("/-kvidb-/enum?type=list&limit=0")).body;
  EXPECT_EQ(list.substr(0, 20), "20240506/07081000 2\n");
  EXPECT_NE(list.find("20240506/07081500 7\njunk\n"), std::string::npos) << list;

  EXPECT_EQ(server_.Handle(Control("count=auto\nstate=0\nclear=pictures\n")).status, 200);
  EXPECT_EQ(server_.Handle(Get("/-kvidb-/status")).body, BuildStatusBody(0, 0));
  EXPECT_EQ(server_.Handle(Control("picture-size=5000\nadd=1")).status, 200);
  EXPECT_EQ(server_.Handle(Get("/-kvidb-/data?8")).body.size(), 5000u);
  EXPECT_EQ(server_.Handle(Control("clear=stats")).status, 200);
  EXPECT_EQ(Stat("requests"), "0");
  EXPECT_EQ(server_.Handle(Get("/-camsim-/stats")).status, 200);
}

TEST_F(CamsimServerTest, AppliesFaults) {
  ASSERT_EQ(server_
                .Handle(Control("fault.data.2=code:403*1\nfault.data.3=error\n"
                                "fault.status=code:503*1\nfault.list=oversize:2000100\n"
                                "fault.data.4=oversize:2500000\nfault.data.5=stall:7\n"
                                "fault.rpdel=drop\nfault.data.1=trickle:3000"))
                .status,
            200);
  EXPECT_EQ(server_.Handle(Get("/-kvidb-/status")).status, 503);
  EXPECT_EQ(server_.Handle(Get("/-kvidb-/status")).status, 200);
  EXPECT_EQ(server_.Handle(Get("/-kvidb-/data?2")).status, 403);
  EXPECT_EQ(server_.Handle(Get("/-kvidb-/data?2")).status, 200);
  const ResponsePlan error = server_.Handle(Get("/-kvidb-/data?3"));
  EXPECT_EQ(error.status, 200);
  EXPECT_EQ(error.body, "error");

  const ResponsePlan big = server_.Handle(Get("/-kvidb-/data?4"));
  EXPECT_EQ(big.body.size(), 2500000u);
  PictureHeader header;
  EXPECT_TRUE(ParsePictureHeader(big.body, &header));
  const std::string list = server_.Handle(Get("/-kvidb-/enum?type=list&limit=0")).body;
  EXPECT_EQ(list.size(), 2000100u);
  EXPECT_EQ(list.substr(0, 21), "20240506/07080900 1\r\n");  // the real lines come first

  const ResponsePlan stall = server_.Handle(Get("/-kvidb-/data?5"));
  EXPECT_EQ(stall.delivery, Delivery::kStall);
  EXPECT_EQ(stall.param, 7);
  EXPECT_EQ(stall.body.size(), 3000u);
  const ResponsePlan trickle = server_.Handle(Get("/-kvidb-/data?1"));
  EXPECT_EQ(trickle.delivery, Delivery::kTrickle);
  EXPECT_EQ(trickle.param, 3000);
  // A dropped deletion still deleted: the camera acted before the connection broke.
  const ResponsePlan drop = server_.Handle(Get("/-kvidb-/rpdel?iid=5", "admin:secret"));
  EXPECT_EQ(drop.delivery, Delivery::kDrop);
  EXPECT_EQ(Stat("faults_applied"), "8");
  EXPECT_EQ(server_.Handle(Get("/-kvidb-/data?5")).status, 404);
}

// Bodies that never end: the list goes on with lines the list reader skips, the status and
// pictures with zeros; pictures of a test's own making are served byte for byte and deleted
// like the series' own.
TEST_F(CamsimServerTest, EndlessBodiesAndHandMadePictures) {
  ASSERT_EQ(server_.Handle(Control("fault.list=endless\nfault.data=endless*1")).status, 200);
  const ResponsePlan list = server_.Handle(Get("/-kvidb-/enum?type=list&limit=0"));
  EXPECT_EQ(list.delivery, Delivery::kEndless);
  EXPECT_EQ(list.body.substr(0, 21), "20240506/07080900 1\r\n");
  ASSERT_FALSE(list.filler.empty());
  EXPECT_EQ(list.filler.find(' '), std::string::npos);
  EXPECT_EQ(list.filler.back(), '\n');
  const ResponsePlan picture = server_.Handle(Get("/-kvidb-/data?1"));
  EXPECT_EQ(picture.delivery, Delivery::kEndless);
  EXPECT_TRUE(picture.filler.empty());  // zeros
  EXPECT_EQ(server_.Handle(Get("/-kvidb-/data?1")).delivery, Delivery::kWhole);
  std::optional<Fault> f;
  std::string error;
  EXPECT_FALSE(ParseFaultAction("endless:5", &f, &error));

  const std::size_t held = server_.PictureCount();
  server_.AddPicture("20240102/10000900", "nohead", std::string(3000, 'x'));
  EXPECT_EQ(server_.PictureCount(), held + 1);
  EXPECT_EQ(server_.Handle(Get("/-kvidb-/data?nohead")).body, std::string(3000, 'x'));
  EXPECT_NE(server_.Handle(Get("/-kvidb-/enum?type=list&limit=0"))
                .body.find("20240102/10000900 nohead\r\n"),
            std::string::npos);
  server_.Handle(Get("/-kvidb-/rpdel?iid=nohead", "admin:secret"));
  EXPECT_EQ(server_.PictureCount(), held);
}

TEST(CamsimOptions, ParsesTheCommandLine) {
  CamsimOptions o;
  std::string error;
  ASSERT_EQ(ParseCamsimOptions({"--port",
                                "8080",
                                "--pictures=17",
                                "--picture-size",
                                "9000",
                                "--start",
                                "2024/12/31/23/59/00",
                                "--interval-cs",
                                "50",
                                "--user",
                                "u",
                                "--password",
                                "",
                                "--admin-user",
                                "a",
                                "--admin-password",
                                "b",
                                "--fault",
                                "data.3=error",
                                "--state",
                                "2",
                                "--request-log",
                                "/tmp/x.log",
                                "--cameras",
                                "1,2,3",
                                "--id-prefix",
                                "cam/a=b."},
                               &o, &error),
            OptionsResult::kRun)
      << error;
  EXPECT_EQ(o.port, 8080);
  EXPECT_EQ(o.server.pictures, 17);
  EXPECT_EQ(o.server.series.picture_size, 9000u);
  EXPECT_EQ(o.server.series.start.year, 2024);
  EXPECT_EQ(o.server.series.interval_cs, 50);
  ASSERT_TRUE(o.server.user);
  EXPECT_EQ(o.server.user->password, "");
  EXPECT_EQ(o.server.admin->user, "a");
  EXPECT_EQ(o.control_text, "fault.data.3=error\nstate=2\n");
  EXPECT_EQ(o.request_log, "/tmp/x.log");
  EXPECT_EQ(o.server.series.cameras, (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_EQ(o.server.series.id_prefix, "cam/a=b.");
  EXPECT_EQ(ParseCamsimOptions({"--id-prefix", "a&b"}, &o, &error), OptionsResult::kError);

  CamsimOptions d;
  ASSERT_EQ(ParseCamsimOptions({}, &d, &error), OptionsResult::kRun);
  EXPECT_FALSE(d.server.user);  // no credentials asked
  EXPECT_EQ(d.bind, "127.0.0.1");
  EXPECT_EQ(ParseCamsimOptions({"--bind", "0.0.0.0"}, &d, &error), OptionsResult::kError);
  EXPECT_EQ(ParseCamsimOptions({"--start", "2024/13/01/00/00/00"}, &d, &error),
            OptionsResult::kError);
  EXPECT_EQ(ParseCamsimOptions({"--port"}, &d, &error), OptionsResult::kError);
  EXPECT_EQ(ParseCamsimOptions({"--frobnicate", "1"}, &d, &error), OptionsResult::kError);
  EXPECT_EQ(ParseCamsimOptions({"--help"}, &d, &error), OptionsResult::kHelp);
}

TEST(CamsimRequestLog, KeepsFourFieldsPerLine) {
  EXPECT_EQ(FormatRequestLogLine("GET", "/-kvidb-/rpdel?iid=1&iid=2", 200, 0),
            "GET /-kvidb-/rpdel?iid=1&iid=2 200 0\n");
  EXPECT_EQ(FormatRequestLogLine("GET", "/a b\nc", 404, 12), "GET /a%20b%0Ac 404 12\n");
  EXPECT_EQ(FormatRequestLogLine("", "", 400, 0), "- - 400 0\n");
}

}  // namespace
}  // namespace pondrel::camsim
