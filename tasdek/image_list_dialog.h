// "Image List": the days a server recorded with their picture counts. In display mode its
// button generates the chosen day's HTML album and opens it in the browser; in delete mode it
// deletes the day's pictures (opened only while the service is stopped, and holding the
// environment lock so that the service starts no download meanwhile).
#pragma once

#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <functional>
#include <memory>

#include "taskview/image_list.h"

namespace pondrel::tasdek {

class ServiceControl;

class CImageListDialog : public QDialog {
  Q_OBJECT
 public:
  // `model` has been opened (CImageList::Open) and keeps its lock for the dialog's life.
  CImageListDialog(std::unique_ptr<CImageList> model, QWidget* parent = nullptr);

  // Reads the profiles and fills the server drop-down; the day list follows on first show.
  void LoadServers();
  // Refills the day list for the selected server.
  void Refill();
  // A click on a column header.
  void SortBy(int column);
  // The button.
  void OnAction();
  void UpdateButton();

  CImageList& Model() { return *model_; }
  // Opens a generated top page (the desktop's browser by default); tests replace it.
  static void SetOpener(std::function<bool(const QString& path)> opener);

  QComboBox* servers;
  QTreeWidget* days;
  QProgressBar* progress;
  QPushButton* action;
  QDialogButtonBox* buttons;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void ShowRows();
  std::unique_ptr<CImageList> model_;
  bool filled_ = false;
};

// The menu commands: opens the dialog in `mode` (delete mode only while `service` is not
// running, with the environment lock), showing why when it cannot open.
void OpenImageListDialog(QWidget* parent, ImageListMode mode, const ServiceControl& service);

// Closing the Task View: offers to delete the albums of every server from the first that has
// some. Returns after the user's answer (nothing is asked when there are none).
void OfferAlbumCleanup(QWidget* parent);

}  // namespace pondrel::tasdek
