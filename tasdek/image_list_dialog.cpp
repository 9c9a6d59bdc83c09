#include "tasdek/image_list_dialog.h"

#include <QDesktopServices>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QUrl>
#include <QVBoxLayout>

#include "tasdek/message_presenter.h"
#include "taskview/messages.h"
#include "taskview/service_control.h"

namespace pondrel::tasdek {
namespace {

std::function<bool(const QString&)>& Opener() {
  static std::function<bool(const QString&)> opener = [](const QString& path) {
    return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
  };
  return opener;
}

QString Q(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

void CImageListDialog::SetOpener(std::function<bool(const QString&)> opener) {
  Opener() = std::move(opener);
}

CImageListDialog::CImageListDialog(std::unique_ptr<CImageList> model, QWidget* parent)
    : QDialog(parent), model_(std::move(model)) {
  setWindowTitle(QString::fromLatin1(kCaptionImageList));
  servers = new QComboBox(this);
  servers->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  servers->setMinimumContentsLength(24);
  days = new QTreeWidget(this);
  days->setColumnCount(3);
  days->setHeaderLabels({QString::fromLatin1(kColumnRecordedDate),
                         QString::fromLatin1(kColumnImageFileCount), QString()});
  days->setRootIsDecorated(false);
  days->setSelectionBehavior(QAbstractItemView::SelectRows);
  days->setSelectionMode(QAbstractItemView::SingleSelection);
  days->setAllColumnsShowFocus(true);
  days->setColumnWidth(0, kColumnWidth);
  days->setColumnWidth(1, kColumnWidth);
  days->header()->setStretchLastSection(true);
  days->header()->setSectionsClickable(true);
  days->header()->setSortIndicatorShown(false);
  progress = new QProgressBar(this);
  progress->setRange(0, 100);
  progress->setValue(0);
  progress->setTextVisible(false);
  action = new QPushButton(Q(model_->ButtonText()), this);
  buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);

  auto* top = new QHBoxLayout;
  top->addWidget(new QLabel(QString::fromLatin1(kLabelServerName), this));
  top->addWidget(servers, 1);
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(progress, 1);
  bottom->addWidget(action);
  bottom->addWidget(buttons);
  auto* all = new QVBoxLayout(this);
  all->addLayout(top);
  all->addWidget(days, 1);
  all->addLayout(bottom);
  resize(460, 380);

  connect(servers, &QComboBox::currentIndexChanged, this, [this](int) {
    if (filled_) Refill();
  });
  connect(days->header(), &QHeaderView::sectionClicked, this, &CImageListDialog::SortBy);
  connect(days, &QTreeWidget::itemSelectionChanged, this, &CImageListDialog::UpdateButton);
  connect(action, &QPushButton::clicked, this, &CImageListDialog::OnAction);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  LoadServers();
}

void CImageListDialog::LoadServers() {
  std::string message;
  if (model_->LoadServers(&message) != 0) {
    CMessagePresenter::Show(this, Q(message), MsgIcon::kExclamation);
  }
  const QSignalBlocker block(servers);
  servers->clear();
  for (const ImageListServer& s : model_->Servers()) servers->addItem(Q(s.name));
  servers->setEnabled(model_->ServerListEnabled());
  if (model_->ServerListEnabled()) servers->setCurrentIndex(0);
  UpdateButton();
}

void CImageListDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!filled_) {
    filled_ = true;
    Refill();
  }
}

void CImageListDialog::Refill() {
  filled_ = true;
  days->clear();
  model_->SelectServer(servers->currentIndex(),
                       [this](int position) { progress->setValue(position); });
  ShowRows();
}

void CImageListDialog::ShowRows() {
  days->clear();
  for (const ImageListRow& r : model_->Rows()) {
    auto* item = new QTreeWidgetItem(days, {Q(r.DateText()), Q(r.CountText()), QString()});
    item->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
  }
  UpdateButton();
}

void CImageListDialog::SortBy(int column) {
  model_->SortByColumn(column);
  ShowRows();
}

void CImageListDialog::UpdateButton() {
  const QModelIndex current = days->currentIndex();
  const int row = days->selectedItems().isEmpty() ? -1 : current.row();
  action->setEnabled(model_->ButtonEnabled(row));
}

void CImageListDialog::OnAction() {
  const int row = days->selectedItems().isEmpty() ? -1 : days->currentIndex().row();
  std::string question;
  if (!model_->Question(row, &question)) {
    CMessagePresenter::Show(this, Q(question), MsgIcon::kExclamation);
    return;
  }
  if (!CMessagePresenter::Ask(this, Q(question), QMessageBox::Ok | QMessageBox::Cancel)) return;
  model_->SetBusy(true);
  UpdateButton();
  if (model_->Mode() == ImageListMode::kDelete) {
    const ImageListOutcome out = model_->DeleteRow(row);
    if (out.code != 0) {
      CMessagePresenter::Show(this, Q(out.message), MsgIcon::kExclamation);
    } else {
      delete days->takeTopLevelItem(row);
    }
  } else {
    const long count = model_->Rows()[row].count;
    progress->setRange(0, static_cast<int>(std::min<long>(count, INT_MAX)));
    progress->setValue(0);
    const ImageListOutcome out = model_->GenerateRow(row, [this](long done, long) {
      progress->setValue(static_cast<int>(std::min<long>(done, INT_MAX)));
    });
    progress->setRange(0, 100);
    progress->setValue(0);
    if (out.code != 0 || !Opener()(Q(out.top_page))) {
      CMessagePresenter::Show(this, QString::fromLatin1(kMsgGenerateHtmlFailed),
                              MsgIcon::kExclamation);
    }
  }
  model_->SetBusy(false);
  UpdateButton();
}

void OpenImageListDialog(QWidget* parent, ImageListMode mode, const ServiceControl& service) {
  auto model = std::make_unique<CImageList>(mode);
  std::string message;
  if (model->Open([&service] { return service.IsServiceRunning(); }, &message) != 0) {
    CMessagePresenter::Show(
        parent, Q(message),
        message == kMsgMutexError ? MsgIcon::kExclamation : MsgIcon::kInformation);
    return;
  }
  CImageListDialog dialog(std::move(model), parent);
  dialog.exec();
}

void OfferAlbumCleanup(QWidget* parent) {
  CAlbumCleanup cleanup;
  if (!cleanup.Load() || !cleanup.HasAlbums()) return;
  if (CMessagePresenter::Ask(parent, QString::fromLatin1(kMsgAskDeleteHtml),
                             QMessageBox::Yes | QMessageBox::No)) {
    cleanup.DeleteAll();
  }
}

}  // namespace pondrel::tasdek
