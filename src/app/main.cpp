// mivo: the recorder program.
#include <QApplication>
#include <QGuiApplication>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/recorder_app.h"
#include "app/window_link.h"
#include "platform/ipc/instance.h"
#include "platform/power/logind_power.h"
#include "platform/process/paths.h"
#include "platform/process/signals.h"
#include "platform/ui/qt/program_icon.h"
#include "platform/ui/qt/qt_dialog_host.h"
#include "platform/wavein/wavein.h"

namespace {

int SendToRunningRecorder(const std::string& settingsPath, const std::string& command) {
  mivo::platform::CommandReply reply;
  std::string error;
  switch (mivo::platform::SendCommand(settingsPath, command, &reply, std::chrono::seconds(15), &error)) {
    case mivo::platform::SendResult::NoServer:
      std::fprintf(stderr, "mivo: no recorder is running with the settings file %s\n", settingsPath.c_str());
      return 1;
    case mivo::platform::SendResult::Failed:
      std::fprintf(stderr, "mivo: cannot reach the recorder: %s\n", error.c_str());
      return 1;
    case mivo::platform::SendResult::Ok: break;
  }
  if (!reply.text.empty()) {
    std::FILE* out = reply.status == 0 ? stdout : stderr;
    std::fputs(reply.text.c_str(), out);
    if (reply.text.back() != '\n') std::fputc('\n', out);
  }
  return reply.status;
}

bool HasDisplay() {
  auto set = [](const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0';
  };
  return set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM");
}

// How long the refusal of a second recorder stays on the screen when
// nobody answers it.
constexpr int kRefusalBoxMs = 120000;

// A recorder started from a desktop launcher has no terminal: the refusal
// is shown in a box as well (not on the offscreen platform, where nobody
// could see or close it).
void ShowRefusal(int argc, char** argv, const std::string& settingsPath) {
  int qtArgc = argc > 0 ? 1 : 0;
  QApplication application(qtArgc, argv);
  const QString platform = QGuiApplication::platformName();
  if (platform == "offscreen" || platform == "minimal") return;
  QApplication::setApplicationName("Mivo");
  mivo::ui::QtDialogHost host;
  QTimer::singleShot(kRefusalBoxMs, &application, [&host] { host.CancelModals(); });
  host.MessageBox("この設定ファイルを使う Mivo がすでに動いています。\r\n" + settingsPath, mivo::ui::kAppTitle,
                  mivo::ui::MB_OK | mivo::ui::MB_ICONEXCLAMATION);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  const mivo::CommandLine cl = mivo::ParseCommandLine(args);
  switch (cl.action) {
    case mivo::CommandLine::Action::Help:
      std::fputs(mivo::UsageText().c_str(), stdout);
      return 0;
    case mivo::CommandLine::Action::Version:
      std::fputs(mivo::VersionText().c_str(), stdout);
      return 0;
    case mivo::CommandLine::Action::Error:
      std::fprintf(stderr, "mivo: %s\nTry 'mivo --help' for more information.\n", cl.error.c_str());
      return 2;
    case mivo::CommandLine::Action::Command:
    case mivo::CommandLine::Action::Run: break;
  }

  const std::string settingsPath = !cl.configPath.empty()
                                       ? cl.configPath
                                       : mivo::platform::DefaultSettingsPath(mivo::platform::ExecutableFolder());
  if (cl.action == mivo::CommandLine::Action::Command) return SendToRunningRecorder(settingsPath, cl.command);
  // A FIFO or device as the settings file would block the start for ever.
  if (struct stat st{}; ::stat(settingsPath.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    std::fprintf(stderr, "mivo: the settings file %s is not a regular file\n", settingsPath.c_str());
    return 1;
  }

  std::string error;
  auto lock = mivo::platform::InstanceLock::Acquire(settingsPath, &error);
  if (!lock) {
    std::fprintf(stderr, "mivo: %s\n", error.c_str());
    if (error.find("already running") != std::string::npos && HasDisplay()) {
      ShowRefusal(argc, argv, settingsPath);
    }
    return 1;
  }
  if (!HasDisplay()) {
    std::fprintf(stderr,
                 "mivo: no display. Start it on a desktop, under xvfb-run, or with "
                 "QT_QPA_PLATFORM=offscreen.\n");
    return 1;
  }

  // Before any other thread exists, so that every thread leaves SIGTERM and
  // SIGINT to the watcher.
  // Before the window is up (while the sound system is looked for) there is
  // nothing to save: a signal ends the program at once. After the window
  // the program is ending anyway.
  mivo::platform::TerminationWatcher watcher;
  mivo::WindowLink* linkForSignals = nullptr;
  bool windowGone = false;
  std::mutex linkMutex;
  if (!watcher.Start([&](int signo) {
        std::lock_guard guard(linkMutex);
        if (linkForSignals) {
          linkForSignals->RequestTerminate();
        } else if (!windowGone) {
          static const char kText[] = "mivo: ended by a signal before the window was up\n";
          static_cast<void>(::write(STDERR_FILENO, kText, sizeof kText - 1));
          ::_exit(128 + signo);
        }
      })) {
    std::fprintf(stderr, "mivo: cannot watch for termination signals\n");
  }

  // A file-size limit must end a track with a write error, not the program.
  if (std::signal(SIGXFSZ, SIG_IGN) == SIG_ERR) {
    std::fprintf(stderr, "mivo: cannot ignore SIGXFSZ; a file-size limit would end the program\n");
  }

  // The system's wave input, once for the process (after the watcher, so
  // that its threads leave the termination signals to it).
  mivo::platform::WaveInOptions waveInOptions;
  waveInOptions.inputFile = cl.inputFile;
  waveInOptions.demo = cl.demo;
  error.clear();
  std::unique_ptr<mivo::platform::IWaveIn> waveIn = mivo::platform::CreateSystemWaveIn(waveInOptions, &error);
  if (!waveIn) {
    std::fprintf(stderr, "mivo: %s\n", error.empty() ? "no wave input is available" : error.c_str());
    watcher.Stop();
    return 2;
  }

  int qtArgc = 1;
  QApplication application(qtArgc, argv);
  QApplication::setApplicationName("Mivo");
  // The launcher's name: the desktop matches the window with its launcher
  // and icon by it (the Wayland application id).
  QGuiApplication::setDesktopFileName(QStringLiteral(MIVO_APP_ID));
  QApplication::setWindowIcon(mivo::ui::ProgramIcon());
  mivo::ui::InstallJapaneseTranslations();
  mivo::ui::QtDialogHost host;

  mivo::WindowLink link(host);
  {
    std::lock_guard guard(linkMutex);
    linkForSignals = &link;
  }
  mivo::platform::CommandServer server;
  if (!server.Start(
          settingsPath,
          [&link](const std::string& command) {
            const mivo::RemoteReply r = link.Submit(command, std::chrono::seconds(10));
            return mivo::platform::CommandReply{r.status, r.text};
          },
          &error)) {
    std::fprintf(stderr, "mivo: commands from 'mivo --command' are not available: %s\n", error.c_str());
  }

  // systemd-logind: the power action after a timed recording and the lock
  // that keeps the machine awake; asked only when needed.
  const std::unique_ptr<mivo::platform::IPowerSystem> power = mivo::platform::CreateLogindPower();

  mivo::CRecorderApp app(host, settingsPath, &link, waveIn.get(), power.get(),
                         !cl.inputFile.empty() || cl.demo);
  const int status = app.Run();

  server.Stop();
  {
    std::lock_guard guard(linkMutex);
    linkForSignals = nullptr;
    windowGone = true;
  }
  watcher.Stop();
  return status;
}
