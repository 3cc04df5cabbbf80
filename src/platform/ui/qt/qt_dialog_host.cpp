#include "platform/ui/qt/qt_dialog_host.h"

#include <QApplication>
#include <QByteArray>
#include <QFile>
#include <QFileDialog>
#include <QLibraryInfo>
#include <QPixmap>
#include <QPointer>
#include <QTranslator>

#include "platform/ui/qt/gui_call.h"
#include "platform/ui/qt/modal_tracker.h"
#include "platform/ui/qt/program_icon.h"
#include "platform/ui/qt/qt_controls.h"
#include "platform/ui/qt/qt_window.h"

namespace mivo::ui {

using qthost::IsGuiThread;
using qthost::QtWindow;

struct QtDialogHost::Impl {
  QIcon icon = ProgramIcon();
  qthost::ModalTracker tracker;
};

QtDialogHost::QtDialogHost() {
  if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) return;
  InstallJapaneseTranslations();
  m_impl = std::make_unique<Impl>();
  QApplication::setWindowIcon(m_impl->icon);
  // Windows end by EndDialog only, never because the last one was closed.
  QApplication::setQuitOnLastWindowClosed(false);
}

QtDialogHost::~QtDialogHost() = default;

int QtDialogHost::DoModal(CDialog& dialog, IWindow* parent) {
  if (m_impl == nullptr || !IsGuiThread()) return -1;
  auto window = std::make_unique<QtWindow>(dialog, dynamic_cast<QtWindow*>(parent),
                                           m_impl->tracker, m_impl->icon);
  m_impl->tracker.PushWindow(window.get());
  const int result = window->Run();
  m_impl->tracker.PopWindow(window.get());
  window.reset();
  dialog.Attach(nullptr);
  return result;
}

int QtDialogHost::MessageBox(std::string_view text, std::string_view caption, unsigned type) {
  if (m_impl == nullptr) return 0;
  return m_impl->tracker.MessageBox(nullptr, text, caption, type);
}

int QtDialogHost::MessageBoxTimeout(std::string_view text, std::string_view caption, unsigned type,
                                    unsigned timeoutMs) {
  if (m_impl == nullptr) return 0;
  return m_impl->tracker.MessageBox(nullptr, text, caption, type, std::chrono::milliseconds(timeoutMs));
}

std::optional<std::string> QtDialogHost::BrowseForFolder(IWindow* owner, std::string_view title,
                                                         std::string_view initialFolder) {
  if (m_impl == nullptr || !IsGuiThread() || m_impl->tracker.ShuttingDown()) return std::nullopt;
  const QString start = QFile::decodeName(
      QByteArray(initialFolder.data(), static_cast<qsizetype>(initialFolder.size())));
  QPointer<QFileDialog> chooser =
      new QFileDialog(dynamic_cast<QtWindow*>(owner), qthost::FromUtf8(title), start);
  chooser->setFileMode(QFileDialog::Directory);
  chooser->setOption(QFileDialog::ShowDirsOnly, true);
  m_impl->tracker.TrackDialog(chooser);
  const int answer = chooser->exec();
  std::optional<std::string> folder;
  if (chooser != nullptr && answer == QDialog::Accepted) {
    const QStringList chosen = chooser->selectedFiles();
    if (!chosen.isEmpty() && !chosen.front().isEmpty()) {
      folder = QFile::encodeName(chosen.front()).toStdString();
    }
  }
  delete chooser.data();
  return folder;
}

void QtDialogHost::CancelModals() {
  if (m_impl != nullptr) m_impl->tracker.CancelModals();
}

std::vector<OpenModal> QtDialogHost::OpenModals() const {
  if (m_impl == nullptr || !IsGuiThread()) return {};
  return m_impl->tracker.OpenModals();
}

bool QtDialogHost::AnswerModal(int answer) {
  return m_impl != nullptr && IsGuiThread() && m_impl->tracker.AnswerModal(answer);
}

bool InstallJapaneseTranslations() {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr) return false;
  const QString name = QStringLiteral("mivo_qtbase_ja");
  if (app->findChild<QTranslator*>(name, Qt::FindDirectChildrenOnly) != nullptr) return true;
  auto translator = std::make_unique<QTranslator>();
  if (!translator->load(QStringLiteral("qtbase_ja"),
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    return false;
  }
  translator->setObjectName(name);
  translator->setParent(app);  // the application owns it from here on
  return QCoreApplication::installTranslator(translator.release());
}

bool SaveWindowPng(const IWindow& window, const std::string& path) {
  auto* qtWindow = const_cast<QtWindow*>(dynamic_cast<const QtWindow*>(&window));
  if (qtWindow == nullptr) return false;
  return qthost::CallOnGui<bool>(
      qtWindow,
      [qtWindow, &path] {
        return qtWindow->grab().save(QFile::decodeName(QByteArray::fromStdString(path)), "PNG");
      },
      false);
}

}  // namespace mivo::ui
