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

// The Image List on the server named `key`, its days listed. kExitOk or the failure's status.
int OpenList(CImageList* list, const std::string& key) {
  CKVSrvInfo server;
  if (int r = FindServer(key, &server)) return r;
  std::string message;
  if (list->LoadServers(&message) != 0) return Fail(message);
  for (std::size_t i = 0; i < list->Servers().size(); ++i) {
    if (list->Servers()[i].id == server.GetId()) {
      list->SelectServer(static_cast<int>(i));
      return kExitOk;
    }
  }
  return Complain("server '" + key + "' is gone");
}

// The row of DAY in the list; -1 after reporting the problem in *status.
int FindDay(const CImageList& list, const std::string& text, int* status) {
  int y, m, d;
  if (!ParseRecordedDate(text, &y, &m, &d)) {
    *status = Complain("'" + text + "' is not a date (YYYY/MM/DD)", kExitUsage);
    return -1;
  }
  for (std::size_t i = 0; i < list.Rows().size(); ++i) {
    const ImageListRow& r = list.Rows()[i];
    if (r.year == y && r.month == m && r.day == d) return static_cast<int>(i);
  }
  ImageListRow asked;
  asked.year = y, asked.month = m, asked.day = d;
  *status = Complain("no pictures were recorded on " + asked.DateText());
  return -1;
}

int Days(const Args& a) {
  CImageList list(ImageListMode::kDisplay);
  if (int r = OpenList(&list, a.Positional()[0])) return r;
  if (G().json) {
    std::vector<std::string> items;
    for (const ImageListRow& r : list.Rows()) {
      items.push_back(JsonObject({{"date", JsonString(r.DateText())}, {"count", r.CountText()}}));
    }
    std::cout << JsonArray(items) << "\n";
    return kExitOk;
  }
  for (const ImageListRow& r : list.Rows()) std::cout << r.DateText() << "\t" << r.count << "\n";
  return kExitOk;
}

int Album(const Args& a) {
  CImageList list(ImageListMode::kDisplay);
  if (int r = OpenList(&list, a.Positional()[0])) return r;
  int status = kExitOk;
  const int row = FindDay(list, a.Positional()[1], &status);
  if (row < 0) return status;
  const ImageListOutcome out = list.GenerateRow(row);
  if (out.code != 0) return Fail(out.message);
  const long count = list.Rows()[row].count;
  if (G().json) {
    std::cout << JsonObject({{"top_page", JsonString(out.top_page)},
                             {"pictures", std::to_string(count)}})
              << "\n";
  } else {
    std::cout << out.top_page << "\n";
  }
  if (a.Has("open") && !OpenWithDesktop(out.top_page)) return Fail(kMsgGenerateHtmlFailed);
  return kExitOk;
}

int Delete(const Args& a) {
  CImageList list(ImageListMode::kDelete);
  std::string message;
  CServiceControl service;
  if (list.Open([&service] { return service.IsServiceRunning(); }, &message) != 0) {
    return Fail(message);
  }
  if (int r = OpenList(&list, a.Positional()[0])) return r;
  int status = kExitOk;
  const int row = FindDay(list, a.Positional()[1], &status);
  if (row < 0) return status;
  const ImageListRow day = list.Rows()[row];
  const ImageListOutcome out = list.DeleteRow(row);
  if (out.code != 0) return Fail(out.message);
  if (G().json) {
    std::cout << JsonObject({{"date", JsonString(day.DateText())},
                             {"deleted", day.CountText()}})
              << "\n";
  }
  return kExitOk;
}

}  // namespace

int RunImagesGroup(const std::vector<std::string>& argv) {
  static const std::vector<Command> commands = {
      {{"images days", "SERVER", "the days a server recorded, with their picture counts", {}, 1, 1,
        "SERVER is the server's name or its 32-digit identifier. One line per day:\n"
        "YYYY/MM/DD, a tab, the number of pictures."},
       Days},
      {{"images album", "SERVER DAY", "generate a day's HTML album and print its top page",
        {{"open", nullptr, "open the top page in the desktop's browser (xdg-open)"}}, 2, 2,
        "DAY is YYYY/MM/DD (or YYYY-MM-DD, YYYYMMDD). The album is written anew under\n"
        "<image directory>/html/YYYYMMDD."},
       Album},
      {{"images delete", "SERVER DAY", "delete a day's pictures, index and album", {}, 2, 2,
        "Refused while the scheduler service runs; the service starts no download while the\n"
        "deletion runs."},
       Delete},
  };
  return RunGroup("images", "The pictures a camera server recorded, by day.", commands, argv);
}

}  // namespace pondrel::cli
