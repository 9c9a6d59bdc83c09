#include "camsim/picture_store.h"

#include <algorithm>
#include <set>

namespace pondrel::camsim {

std::string PictureFileOf(const CamPicture& p, std::size_t size) {
  if (!p.file.empty() || p.size == 0) {
    std::string file = p.file;
    if (file.size() < size) file.append(size - file.size(), '\0');
    return file;
  }
  return BuildPictureFile(p.header, "camsim " + p.key + " id " + p.id, size ? size : p.size);
}

int PictureStore::Add(int count) {
  std::lock_guard<std::mutex> lock(mu_);
  int added = 0;
  const std::int64_t origin = ToCentiseconds(series_.start);
  for (; added < count; ++added) {
    const CameraTime t = FromCentiseconds(origin + added_ * series_.interval_cs);
    if (t.year > 9999 || t.year < 1970) break;
    CamPicture p;
    p.id = series_.id_prefix + std::to_string(added_ + 1);
    p.key = PictureKey(t);
    p.size = series_.picture_size;
    PictureHeaderFields& h = p.header;
    const std::size_t n = static_cast<std::size_t>(added_);
    if (!series_.cameras.empty()) h.camera = series_.cameras[n % series_.cameras.size()];
    if (!series_.triggers.empty()) h.trigger = series_.triggers[n % series_.triggers.size()];
    h.record_time = static_cast<std::uint32_t>(ToCentiseconds(t) / 100 - series_.zone_offset * 60);
    h.zone_offset = series_.zone_offset;
    h.extension = series_.extension;
    h.width = series_.width;
    h.height = series_.height;
    pictures_.push_back(std::move(p));
    ++added_;
  }
  return added;
}

void PictureStore::Put(const std::string& key, const std::string& id, std::string file) {
  std::lock_guard<std::mutex> lock(mu_);
  CamPicture p;
  p.id = id;
  p.key = key;
  p.size = file.size();
  p.file = std::move(file);
  pictures_.push_back(std::move(p));
}

void PictureStore::SetPictureSize(std::size_t size) {
  std::lock_guard<std::mutex> lock(mu_);
  series_.picture_size = size;
}

std::optional<CamPicture> PictureStore::Find(const std::string& id) const {
  std::lock_guard<std::mutex> lock(mu_);
  for (const CamPicture& p : pictures_) {
    if (p.id == id) return p;
  }
  return std::nullopt;
}

std::vector<CamPicture> PictureStore::Snapshot() const {
  std::lock_guard<std::mutex> lock(mu_);
  return pictures_;
}

std::size_t PictureStore::Count() const {
  std::lock_guard<std::mutex> lock(mu_);
  return pictures_.size();
}

int PictureStore::Remove(const std::vector<std::string>& ids) {
  const std::set<std::string> wanted(ids.begin(), ids.end());
  std::lock_guard<std::mutex> lock(mu_);
  const std::size_t before = pictures_.size();
  std::erase_if(pictures_, [&](const CamPicture& p) { return wanted.count(p.id) != 0; });
  return static_cast<int>(before - pictures_.size());
}

void PictureStore::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  pictures_.clear();
}

}  // namespace pondrel::camsim
