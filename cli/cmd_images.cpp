// pondrel images: the recorded days of a server, their albums and their deletion.
#include <iostream>

#include "cli/commands.h"
#include "common/desktop_open.h"
#include "taskview/image_list.h"
#include "taskview/messages.h"
#include "taskview/service_control.h"

namespace pondrel::cli {

using namespace pondrel::tasdek;

namespace {

std::string ServerWhat(const CKVSrvInfo& s) { return "server '" + s.GetServerName() + "'"; }

// The Image List on the server named `key`, its days listed. kExitOk or the failure's status.
int OpenList(CImageList* list, const std::string& key, CKVSrvInfo* server) {
  if (int r = FindServer(key, server)) return r;
  std::string message;
  if (list->LoadServers(&message) != 0) return Fail("server profiles", message);
  for (std::size_t i = 0; i < list->Servers().size(); ++i) {
    if (list->Servers()[i].id == server->GetId()) {
      list->SelectServer(static_cast<int>(i));
      return kExitOk;
    }
  }
  return Fail(ServerWhat(*server), "no such server (see 'pondrel server list')");
}

// The row of DAY in the list; -1 after reporting the problem in *status.
int FindDay(const CImageList& list, const CKVSrvInfo& server, const std::string& text,
            int* status) {
  int y, m, d;
  if (!ParseRecordedDate(text, &y, &m, &d)) {
    *status =
        Error("day '" + text + "'", "not a date (YYYY/MM/DD, YYYY-MM-DD or YYYYMMDD)", kExitUsage);
    return -1;
  }
  for (std::size_t i = 0; i < list.Rows().size(); ++i) {
    const ImageListRow& r = list.Rows()[i];
    if (r.year == y && r.month == m && r.day == d) return static_cast<int>(i);
  }
  ImageListRow asked;
  asked.year = y, asked.month = m, asked.day = d;
  *status = Fail(ServerWhat(server), "no pictures were recorded on " + asked.DateText());
  return -1;
}

int Days(const Args& a) {
  CImageList list(ImageListMode::kDisplay);
  CKVSrvInfo server;
  if (int r = OpenList(&list, a.Positional()[0], &server)) return r;
  if (G().json) {
    std::vector<std::string> items;
    for (const ImageListRow& r : list.Rows()) {
      items.push_back(JsonObject({{"date", JsonString(r.DateText())}, {"count", r.CountText()}}));
    }
    PrintJson(JsonArray(items));
    return kExitOk;
  }
  std::vector<std::vector<std::string>> rows;
  for (const ImageListRow& r : list.Rows()) rows.push_back({r.DateText(), r.CountText()});
  PrintTable({"Date", "Pictures"}, rows);
  return kExitOk;
}

int Album(const Args& a) {
  CImageList list(ImageListMode::kDisplay);
  CKVSrvInfo server;
  if (int r = OpenList(&list, a.Positional()[0], &server)) return r;
  int status = kExitOk;
  const int row = FindDay(list, server, a.Positional()[1], &status);
  if (row < 0) return status;
  const ImageListOutcome out = list.GenerateRow(row);
  const std::string what = ServerWhat(server) + " " + list.Rows()[row].DateText();
  if (out.code != 0) return Fail(what, out.message);
  const long count = list.Rows()[row].count;
  if (G().json) {
    PrintJson(
        JsonObject({{"top_page", JsonString(out.top_page)}, {"pictures", std::to_string(count)}}));
  } else {
    std::cout << out.top_page << "\n";
  }
  if (a.Has("open") && !OpenWithDesktop(out.top_page)) return Fail(what, kMsgGenerateHtmlFailed);
  return kExitOk;
}

int Delete(const Args& a) {
  CImageList list(ImageListMode::kDelete);
  std::string message;
  ServiceControl service;
  if (list.Open([&service] { return service.IsServiceRunning(); }, &message) != 0) {
    return Fail("images delete", message);
  }
  CKVSrvInfo server;
  if (int r = OpenList(&list, a.Positional()[0], &server)) return r;
  int status = kExitOk;
  const int row = FindDay(list, server, a.Positional()[1], &status);
  if (row < 0) return status;
  const ImageListRow day = list.Rows()[row];
  const std::string what = ServerWhat(server) + " " + day.DateText();
  if (!Confirm("Delete the " + day.CountText() + " pictures of " + what + "?")) {
    return Fail(what, "not deleted");
  }
  const ImageListOutcome out = list.DeleteRow(row);
  if (out.code != 0) return Fail(what, out.message);
  if (G().json) {
    PrintJson(JsonObject({{"date", JsonString(day.DateText())}, {"deleted", day.CountText()}}));
  } else {
    std::cout << "deleted " << day.CountText() << " pictures of " << what << "\n";
  }
  return kExitOk;
}

}  // namespace

const std::vector<Command>& ImagesCommands() {
  static const std::vector<Command> kCommands = {
      {{"images days",
        "SERVER",
        "the days a server recorded, with their picture counts",
        {},
        1,
        1,
        "SERVER is the server's name or its 32-digit identifier. One line per day: the date\n"
        "(YYYY/MM/DD) and the number of pictures; on a terminal with a header line and aligned\n"
        "columns, otherwise separated by a tab."},
       Days},
      {{"images album",
        "SERVER DAY",
        "generate a day's HTML album and print its top page",
        {{"open", nullptr, "open the top page in the desktop's browser (xdg-open)"}},
        2,
        2,
        "DAY is YYYY/MM/DD (or YYYY-MM-DD, YYYYMMDD). The album is written anew under\n"
        "<image directory>/html/YYYYMMDD."},
       Album},
      {{"images delete",
        "SERVER DAY",
        "delete a day's pictures, index and album",
        {},
        2,
        2,
        "On a terminal asks first (--yes does not ask). Refused while the scheduler service\n"
        "runs; the service starts no download while the deletion runs."},
       Delete},
  };
  return kCommands;
}

}  // namespace pondrel::cli
