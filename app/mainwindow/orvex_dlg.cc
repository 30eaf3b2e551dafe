#include "app/mainwindow/orvex_dlg.h"

#include <errno.h>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QPainter>
#include <QScreen>
#include <QVBoxLayout>

#include "app/contents/created_media_record.h"
#include "app/controllers/wren_ctrl.h"
#include "app/mainwindow/about_dlg.h"
#include "app/mainwindow/bitmaps.h"
#include "app/prompting/error_object.h"
#include "app/qtshell/qt_controller_ui.h"
#include "app/qtshell/qt_prompter.h"
#include "app/qtshell/qt_session_guard.h"
#include "app/qtshell/qt_text.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"
#include "platform/message_window.h"

namespace quenvar::app {
namespace {

// The footer band: emblem bitmap at the left, the 1-pixel strip stretched over the rest.
class FooterBand : public QWidget {
 public:
  FooterBand(double scale, QWidget* parent)
      : QWidget(parent), band_(LoadBitmap(bitmap::kBand)), strip_(LoadBitmap(bitmap::kBandStrip)) {
    setObjectName("footer_band");
    setFixedHeight(static_cast<int>(kFooterHeight96 * scale + 0.5));
    emblem_width_ = static_cast<int>(band_.width() * scale + 0.5);
  }
  int emblem_width() const { return emblem_width_; }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.drawPixmap(QRect(0, 0, width(), height()), strip_);
    painter.drawPixmap(QRect(0, 0, emblem_width_, height()), band_);
  }

 private:
  QPixmap band_;
  QPixmap strip_;
  int emblem_width_ = 0;
};

double ScreenScale(QWidget* widget) {
  const QScreen* screen = widget->screen() ? widget->screen() : QGuiApplication::primaryScreen();
  const double dpi = screen ? screen->logicalDotsPerInch() : 96.0;
  return dpi > 0 ? dpi / 96.0 : 1.0;
}

}  // namespace

void OrvexControllerUi::SetExecutionState(uint32_t flags) {
  if (keep_awake_) keep_awake_->SetExecutionState(flags);
  inner_->SetExecutionState(flags);
}

COrvexDlg::COrvexDlg(DriveList* drives, OrvexDlgOptions options, QWidget* parent)
    : QDialog(parent),
      drives_(drives),
      power_supply_dir_(std::move(options.power_supply_dir)),
      block_library_(std::move(options.block_library)),
      keep_awake_(options.inhibitor_source) {
  setObjectName("dialog102");
  scale_ = options.scale > 0 ? options.scale : ScreenScale(this);
  setWindowTitle(ToQString(DialogText(ids::kDlgMain, ids::kItemTitle)));
  data_ctrl_.set_drive_list(drives_);
  image_ctrl_.set_drive_list(drives_);
  // The USB devices found are kept with the dialog and rescanned for every USB medium of a run.
  usb_ctrl_.set_device_list(&usb_devices_);

  contents_.Load(options.configuration, options.loader);
  ReadCreatedMediaRecord(contents_);
  list_ = std::make_unique<MediaList>(&contents_);

  frame_ = new COrvexFrameDlg(list_.get(), scale_, this);
  auto* band = new FooterBand(scale_, this);
  verify_ = new QCheckBox(ToQString(DialogText(ids::kDlgMain, ids::kItemVerify)), band);
  verify_->setObjectName("check1002");
  verify_->setChecked(contents_.verify_mode() != 0);
  create_ = new FooterButton(ToQString(DialogText(ids::kDlgMain, ids::kItemCreate)),
                             ids::kItemCreate, scale_, band);
  cancel_ = new FooterButton(ToQString(DialogText(ids::kDlgMain, ids::kItemCancel)),
                             ids::kItemCancel, scale_, band);
  footer_ = new FooterButton(QString(), 1027, scale_, band);
  // The text-less footer button has no command of its own here; it stays out of the way.
  footer_->hide();
  for (FooterButton* button : {create_, cancel_, footer_}) {
    button->setObjectName(QString("button%1").arg(button->control_id()));
    button->setAutoDefault(false);
    button->setFixedHeight(static_cast<int>(kFooterButtonHeight96 * scale_ + 0.5));
    button->setMinimumWidth(static_cast<int>(kFooterButtonWidth96 * scale_ + 0.5));
  }
  auto* footer_layout = new QHBoxLayout(band);
  const int gap = static_cast<int>(8 * scale_);
  footer_layout->setContentsMargins(band->emblem_width() + gap, 0, gap, 0);
  footer_layout->setSpacing(gap);
  footer_layout->addWidget(verify_);
  footer_layout->addStretch();
  footer_layout->addWidget(footer_);
  footer_layout->addWidget(create_);
  footer_layout->addWidget(cancel_);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(frame_, 1);
  layout->addWidget(band);
  resize(static_cast<int>(640 * scale_), static_cast<int>(520 * scale_));

  auto* about = new QAction(ToQString(LoadString(ids::kAboutMenu)), this);
  if (!about->text().isEmpty()) {
    connect(about, &QAction::triggered, this, &COrvexDlg::ShowAbout);
    addAction(about);
    setContextMenuPolicy(Qt::ActionsContextMenu);
  }
  quick_verify_ = new QAction(ToQString(LoadString(ids::kQuickVerifyMenu)), this);
  quick_verify_->setObjectName("quick_verify");
  quick_verify_->setCheckable(true);
  quick_verify_->setChecked(contents_.verify_mode() == CContentsList::kVerifyQuick);
  addAction(quick_verify_);
  setContextMenuPolicy(Qt::ActionsContextMenu);

  run_ = std::make_unique<CreationRun>(list_.get(), this, &data_ctrl_, drives_);
  run_->set_record_writer([](const CContentsList& list) { return WriteCreatedMediaRecord(list); });
  image_creator_ = std::make_unique<ImageMediumCreator>(&image_ctrl_, run_.get());
  run_->set_image_creator(image_creator_.get());
  run_->set_usb_creator(&usb_creator_);

  guard_ = std::make_unique<SessionGuard>([this] { return JobRunning(); }, [this] { Activate(); });
  guard_->set_owner(QtPrompter::WindowOf(this));
  guard_context_ = new QObject(this);
  ConnectEndSessionQuery(guard_.get(), guard_context_);
  // The guard's message window is also the one the engine posts its eject-button notices to;
  // they need no answer beyond the default one.
  const HWND engine_window = guard_->CreateWindow();
  message_notifier_ = new QSocketNotifier(platform::MessageNotifyFd(), QSocketNotifier::Read, this);
  connect(message_notifier_, &QSocketNotifier::activated, this, [] { platform::PumpMessages(); });
  run_ui_ = std::make_unique<OrvexControllerUi>(&CurrentControllerUi(), run_.get(), &keep_awake_,
                                                engine_window);
  scoped_ui_ = std::make_unique<ScopedControllerUi>(run_ui_.get());

  connect(create_, &QPushButton::clicked, this, &COrvexDlg::OnCreate);
  connect(cancel_, &QPushButton::clicked, this, &COrvexDlg::OnCancel);
  connect(list_view(), &CContentsListView::selectionChanged, this, &COrvexDlg::OnSelectionChanged);
  connect(list_view(), &CContentsListView::labelClicked, this, [this] { frame_->setFocus(); });

  if (!options.activation_socket.empty()) Publish(options.activation_socket);
  FillFromDrive();
}

COrvexDlg::~COrvexDlg() {
  // No end-session query may reach the guard once its members start to go.
  delete guard_context_;
  guard_context_ = nullptr;
  run_->JoinCancelPrompt();
  if (wait_cursor_) QApplication::restoreOverrideCursor();
  scoped_ui_.reset();
  // The panel's list view reads the media list until it is gone; the members it reads die before
  // the QDialog base would delete its children.
  delete frame_;
  frame_ = nullptr;
}

void COrvexDlg::Publish(const std::string& path) {
  auto server = std::make_unique<ActivationServer>();
  const platform::Status status = server->Listen(path);
  if (!status.ok()) {
    CErrorObject report(kModuleOrvexDlg, kLocationPublishWindow, kErrorInternal, u"",
                        static_cast<uint32_t>(status.code()), QtPrompter::WindowOf(this));
    return;
  }
  activation_ = std::move(server);
  activation_notifier_ = new QSocketNotifier(activation_->fd(), QSocketNotifier::Read, this);
  connect(activation_notifier_, &QSocketNotifier::activated, this,
          [this] { activation_->AcceptPending([this] { Activate(); }); });
}

void COrvexDlg::Activate() {
  if (isMinimized()) showNormal();
  show();
  raise();
  activateWindow();
}

void COrvexDlg::ShowAbout() {
  CAboutDlg about(this);
  about.exec();
}

void COrvexDlg::FillFromDrive() {
  const tagDRIVEPARAM* drive = drives_ ? drives_->Find(drives_->SelectedDrive()) : nullptr;
  list_->FillSelectors(drive ? drive->deviceSpec.dwWritableMedia : 0);
  list_->Fill();
  list_view()->RebuildSelectors();
  list_view()->Fill();
}

void COrvexDlg::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (first_paint_done_) return;
  first_paint_done_ = true;
  // After the window is on screen, as the first painting of the panel would.
  QTimer::singleShot(0, this, &COrvexDlg::FirstPaint);
  run_->ShowSelectionSummary();
}

void COrvexDlg::FirstPaint() {
  if (!drives_ || drives_->size() < 2) return;
  CSelectDriveDlg().Run(QtPrompter::WindowOf(this), drives_);
  FillFromDrive();
  SetInformationText(u"");
  run_->ShowSelectionSummary();
}

void COrvexDlg::OnSelectionChanged() {
  run_->ShowSelectionSummary();
}

void COrvexDlg::OnCreate() {
  if (run_->busy()) return;
  run_->OnCreate(verify_->isChecked(), quick_verify_->isChecked() ? CContentsList::kVerifyQuick
                                                                  : CContentsList::kVerifyFull);
  // An interrupt during the run closes the dialog once the run has ended.
  if (ending_) QDialog::reject();
}

void COrvexDlg::EndByInterrupt() {
  if (ending_) return;
  ending_ = true;
  interrupted_run_ = run_->busy();
  // Open questions (and the About box) are nested in this dialog's event loop: each is closed with
  // its cancel answer until none is left; the prompter keeps new ones from opening.
  modal_closer_ = new QTimer(this);
  connect(modal_closer_, &QTimer::timeout, this, &COrvexDlg::CloseModalDialogs);
  modal_closer_->start(20);
  CloseModalDialogs();
  if (interrupted_run_) {
    ProcessPendingMessages();
  } else {
    QDialog::reject();
  }
}

void COrvexDlg::CloseModalDialogs() {
  QWidget* modal = QApplication::activeModalWidget();
  if (modal == nullptr || modal == this) return;
  if (auto* dialog = qobject_cast<QDialog*>(modal)) {
    dialog->reject();
  } else {
    modal->close();
  }
}

void COrvexDlg::OnCancel() {
  if (run_->OnCancelPressed()) {
    QDialog::reject();
  }
}

void COrvexDlg::reject() {
  OnCancel();
}

void COrvexDlg::closeEvent(QCloseEvent* event) {
  if (run_->busy()) {
    event->ignore();
    run_->OnCancelPressed();
    return;
  }
  QDialog::closeEvent(event);
}

void COrvexDlg::SetInformationText(std::u16string_view text) {
  frame_->SetInformationText(text);
}

void COrvexDlg::SetCurrentBar(uint32_t position) {
  frame_->current_bar()->setValue(static_cast<int>(position));
}

void COrvexDlg::SetTotalBar(uint32_t position) {
  frame_->total_bar()->setValue(static_cast<int>(position));
}

void COrvexDlg::RedrawList() {
  list_view()->Fill();
}

void COrvexDlg::EnableSelection(bool enable) {
  list_view()->SetSelectorsEnabled(enable);
  verify_->setEnabled(enable);
  quick_verify_->setEnabled(enable);
}

void COrvexDlg::EnableCreate(bool enable) {
  create_->setEnabled(enable);
}

void COrvexDlg::StartTimer(uint32_t id, uint32_t period_ms) {
  QTimer*& timer = timers_[id];
  if (!timer) {
    timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, [this, id] { run_->OnTimer(id); });
  }
  timer->start(static_cast<int>(period_ms));
}

void COrvexDlg::KillTimer(uint32_t id) {
  const auto found = timers_.find(id);
  if (found != timers_.end()) found->second->stop();
}

void COrvexDlg::ProcessPendingMessages() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  platform::PumpMessages();
  // After an interrupt the run is cancelled as soon as it runs, also when the interrupt came
  // before its loop started or while the user's own cancel prompt was open (closing that one
  // answered no).
  if (ending_ && run_->running() && !run_->cancel_requested() && !run_->cancel_prompt_open()) {
    run_->OnCancelPressed();
  }
}

void COrvexDlg::SetWaitCursor(bool on) {
  if (on == wait_cursor_) return;
  wait_cursor_ = on;
  if (on) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
  } else {
    QApplication::restoreOverrideCursor();
  }
}

bool COrvexDlg::JobRunning() const {
  // The run mode says which optical controller's flag counts; the USB copy counts in any mode.
  const bool optical =
      run_->mode() == kModeImage ? image_ctrl_.busy() != 0 : data_ctrl_.busy() != 0;
  return optical || usb_ctrl_.running() != 0;
}

bool COrvexDlg::ConfirmBattery() {
  return CheckBattery(QtPrompter::WindowOf(this), power_supply_dir_) != 0;
}

bool COrvexDlg::LockDrive(int32_t drive_number) {
  return LockDriveForWriting(1, drive_number, block_library_.c_str()) != 0;
}

void COrvexDlg::UnlockDrive(int32_t drive_number) {
  LockDriveForWriting(0, drive_number, block_library_.c_str());
}

PromptWindow COrvexDlg::ListWindow() const {
  return QtPrompter::WindowOf(frame_->list_view());
}

}  // namespace quenvar::app
