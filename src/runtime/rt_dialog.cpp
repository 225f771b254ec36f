// Message boxes, the save-file dialog and the clipboard.
#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <list>

#include "runtime/rt_internal.h"

namespace rt {

namespace {

// A dialog asked for by a worker thread: shown by the main thread, answered here.
struct DialogRequest {
  bool done = false;
  int answer = 0;
  std::string path;
};

std::mutex gDialogLock;
std::condition_variable gDialogDone;
std::list<std::shared_ptr<DialogRequest>> gPending;  // guarded by gDialogLock
bool gDialogsClosed = false;                         // teardown: answer at once

// CORVALE_DIALOGS=stderr answers every box unattended; so does a platform that shows
// nothing (offscreen, minimal), where a box could never be answered by anyone.
// CORVALE_DIALOGS=show shows them anyway.
bool StderrMode() {
  const char* m = getenv("CORVALE_DIALOGS");
  if (m && *m) return std::string(m) == "stderr";
  if (!RuntimeReady()) return false;
  QString p = QGuiApplication::platformName();
  return p == QLatin1String("offscreen") || p == QLatin1String("minimal");
}

int ButtonSet(int flags) { return flags & 0xF; }

// The answer of a box nobody sees: its default button.
int DefaultAnswer(int flags) {
  bool second = (flags & 0xF00) == MbDefButton2;
  switch (ButtonSet(flags)) {
    case MbOkCancel:
      return second ? IdCancel : IdOk;
    case MbYesNo:
      return second ? IdNo : IdYes;
    case MbYesNoCancel:
      return second ? IdNo : ((flags & 0xF00) == 0x200 ? IdCancel : IdYes);
    default:
      return IdOk;
  }
}

// The answer when the box cannot be shown at all (teardown): the cautious one.
int RefusedAnswer(int flags) {
  switch (ButtonSet(flags)) {
    case MbYesNo:
      return IdNo;
    case MbOkCancel:
    case MbYesNoCancel:
      return IdCancel;
    default:
      return IdOk;
  }
}

int EnvAnswer(int flags) {
  const char* a = getenv("CORVALE_DIALOG_ANSWER");
  if (!a || !*a) return DefaultAnswer(flags);
  QString s = QString::fromUtf8(a).trimmed().toLower();
  int set = ButtonSet(flags);
  bool hasYesNo = set == MbYesNo || set == MbYesNoCancel;
  bool hasCancel = set == MbOkCancel || set == MbYesNoCancel;
  if (hasYesNo && s == QLatin1String("yes")) return IdYes;
  if (hasYesNo && s == QLatin1String("no")) return IdNo;
  if (hasCancel && s == QLatin1String("cancel")) return IdCancel;
  if (!hasYesNo && s == QLatin1String("ok")) return IdOk;
  return DefaultAnswer(flags);
}

QMessageBox* MakeBox(const std::string& caption, const std::string& text, int flags, int owner) {
  QWidget* parent = nullptr;
  if (WindowRecord* w = FindWindow(owner)) parent = w->widget;
  auto* box = new QMessageBox(parent);
  box->setWindowTitle(ToQ(caption));
  QString t = ToQ(text);
  t.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  box->setText(t);
  switch (flags & 0xF0) {
    case MbIconError:
      box->setIcon(QMessageBox::Critical);
      break;
    case MbIconQuestion:
      box->setIcon(QMessageBox::Question);
      break;
    case MbIconWarning:
      box->setIcon(QMessageBox::Warning);
      break;
    case MbIconInformation:
      box->setIcon(QMessageBox::Information);
      break;
    default:
      box->setIcon(QMessageBox::NoIcon);
      break;
  }
  QMessageBox::StandardButtons buttons;
  switch (ButtonSet(flags)) {
    case MbOkCancel:
      buttons = QMessageBox::Ok | QMessageBox::Cancel;
      break;
    case MbYesNo:
      buttons = QMessageBox::Yes | QMessageBox::No;
      break;
    case MbYesNoCancel:
      buttons = QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
      break;
    default:
      buttons = QMessageBox::Ok;
      break;
  }
  box->setStandardButtons(buttons);
  switch (DefaultAnswer(flags)) {
    case IdOk:
      box->setDefaultButton(QMessageBox::Ok);
      break;
    case IdCancel:
      box->setDefaultButton(QMessageBox::Cancel);
      break;
    case IdYes:
      box->setDefaultButton(QMessageBox::Yes);
      break;
    case IdNo:
      box->setDefaultButton(QMessageBox::No);
      break;
  }
  if (buttons & QMessageBox::Cancel)
    box->setEscapeButton(QMessageBox::Cancel);
  else if (buttons & QMessageBox::No)
    box->setEscapeButton(QMessageBox::No);
  else
    box->setEscapeButton(QMessageBox::Ok);
  return box;
}

int AnswerOf(int button, int flags) {
  switch (button) {
    case QMessageBox::Ok:
      return IdOk;
    case QMessageBox::Cancel:
      return IdCancel;
    case QMessageBox::Yes:
      return IdYes;
    case QMessageBox::No:
      return IdNo;
    default:
      return RefusedAnswer(flags);
  }
}

// "Name|*.a;*.b|Other|*.c" -> "Name (*.a *.b);;Other (*.c)".
QString FilterOf(const std::string& pattern, int index, QString* selected) {
  QStringList parts = ToQ(pattern).split(QLatin1Char('|'));
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString globs = parts[i + 1];
    globs.replace(QLatin1Char(';'), QLatin1Char(' '));
    QString name = parts[i];
    // The name often repeats the globs in parentheses already ("Debug log (*.txt)").
    filters << (name.contains(QLatin1Char('(')) ? name.section(QLatin1Char('('), 0, 0).trimmed() : name) +
                   QStringLiteral(" (") + globs + QLatin1Char(')');
  }
  if (selected && index >= 0 && index < filters.size()) *selected = filters[index];
  return filters.join(QStringLiteral(";;"));
}

void Wait(const std::shared_ptr<DialogRequest>& req) {
  std::unique_lock<std::mutex> lock(gDialogLock);
  gDialogDone.wait(lock, [&]() { return req->done; });
  gPending.remove(req);
}

bool Answered(const std::shared_ptr<DialogRequest>& req) {
  std::lock_guard<std::mutex> lock(gDialogLock);
  return req->done;
}

void Finish(const std::shared_ptr<DialogRequest>& req, int answer, const std::string& path) {
  {
    std::lock_guard<std::mutex> lock(gDialogLock);
    if (req->done) return;
    req->done = true;
    req->answer = answer;
    req->path = path;
  }
  gDialogDone.notify_all();
}

}  // namespace

void StartDialogs() {
  std::lock_guard<std::mutex> lock(gDialogLock);
  gDialogsClosed = false;
}

void TeardownDialogs() {
  std::lock_guard<std::mutex> lock(gDialogLock);
  gDialogsClosed = true;
  for (auto& r : gPending) {
    if (!r->done) {
      r->done = true;
      r->answer = 0;  // replaced by the refused answer by the waiter
    }
  }
  gDialogDone.notify_all();
}

}  // namespace rt

using namespace rt;

std::string DialogLine(std::string_view caption, std::string_view text) {
  std::string out = "dialog: ";
  auto put = [&](std::string_view s) {
    for (char c : s) {
      if (c == '\r')
        out += "\\r";
      else if (c == '\n')
        out += "\\n";
      else
        out += c;
    }
  };
  put(caption);
  out += ": ";
  put(text);
  return out;
}

int ShowMessageBox(const std::string& caption, const std::string& text, int flags, int owner) {
  if (StderrMode() || !RuntimeReady()) {
    std::string line = DialogLine(caption, text) + "\n";
    fputs(line.c_str(), stderr);
    fflush(stderr);
    return StderrMode() ? EnvAnswer(flags) : DefaultAnswer(flags);
  }
  if (OnMainThread()) {
    QMessageBox* box = MakeBox(caption, text, flags, owner);
    if (!owner || (flags & MbTaskModal)) box->setWindowModality(Qt::ApplicationModal);
    box->exec();
    int answer = AnswerOf(box->standardButton(box->clickedButton()), flags);
    if (!box->clickedButton()) answer = RefusedAnswer(flags);
    delete box;
    return answer;
  }
  auto req = std::make_shared<DialogRequest>();
  {
    std::lock_guard<std::mutex> lock(gDialogLock);
    if (gDialogsClosed) return RefusedAnswer(flags);
    gPending.push_back(req);
  }
  // The main thread shows the box without a modal loop of its own, so the player's loop
  // keeps running while this worker waits for the answer.
  QMetaObject::invokeMethod(
      qApp,
      [req, caption, text, flags, owner]() {
        if (Answered(req)) return;  // the teardown answered it already
        QMessageBox* box = MakeBox(caption, text, flags, owner);
        box->setAttribute(Qt::WA_DeleteOnClose, true);
        box->setWindowModality(owner && FindWindow(owner) ? Qt::WindowModal : Qt::NonModal);
        QObject::connect(box, &QMessageBox::finished, box, [req, box, flags](int) {
          QAbstractButton* b = box->clickedButton();
          Finish(req, b ? AnswerOf(box->standardButton(b), flags) : RefusedAnswer(flags), std::string());
        });
        QObject::connect(box, &QObject::destroyed,
                         [req, flags]() { Finish(req, RefusedAnswer(flags), std::string()); });
        box->open();
        box->raise();
        box->activateWindow();
      },
      Qt::QueuedConnection);
  Wait(req);
  return req->answer ? req->answer : RefusedAnswer(flags);
}

std::string SaveFileRequester(const std::string& title, const std::string& defaultFile, const std::string& pattern,
                              int patternIndex) {
  if (StderrMode() || !RuntimeReady()) {
    std::string line = DialogLine(title, defaultFile) + "\n";
    fputs(line.c_str(), stderr);
    fflush(stderr);
    const char* f = getenv("CORVALE_DIALOG_FILE");
    return StderrMode() && f ? std::string(f) : std::string();
  }
  auto configure = [title, defaultFile, pattern, patternIndex](QFileDialog* d) {
    d->setWindowTitle(ToQ(title));
    d->setAcceptMode(QFileDialog::AcceptSave);
    d->setFileMode(QFileDialog::AnyFile);
    QString selected;
    QString filter = FilterOf(pattern, patternIndex, &selected);
    if (!filter.isEmpty()) d->setNameFilter(filter);
    if (!selected.isEmpty()) d->selectNameFilter(selected);
    QString def = ToQ(defaultFile);
    d->selectFile(def);
    int slash = static_cast<int>(def.lastIndexOf(QLatin1Char('/')));
    if (slash >= 0) {
      d->setDirectory(def.left(slash + 1));
      d->selectFile(def.mid(slash + 1));
    }
  };
  if (OnMainThread()) {
    QFileDialog d;
    configure(&d);
    if (d.exec() != QDialog::Accepted || d.selectedFiles().isEmpty()) return std::string();
    return FromQ(d.selectedFiles().first());
  }
  auto req = std::make_shared<DialogRequest>();
  {
    std::lock_guard<std::mutex> lock(gDialogLock);
    if (gDialogsClosed) return std::string();
    gPending.push_back(req);
  }
  QMetaObject::invokeMethod(
      qApp,
      [req, configure]() {
        if (Answered(req)) return;
        auto* d = new QFileDialog();
        d->setAttribute(Qt::WA_DeleteOnClose, true);
        configure(d);
        QObject::connect(d, &QFileDialog::finished, d, [req, d](int result) {
          std::string path;
          if (result == QDialog::Accepted && !d->selectedFiles().isEmpty()) path = FromQ(d->selectedFiles().first());
          Finish(req, 1, path);
        });
        QObject::connect(d, &QObject::destroyed, [req]() { Finish(req, 1, std::string()); });
        d->open();
      },
      Qt::QueuedConnection);
  Wait(req);
  return req->path;
}

int SetClipboardText(const std::string& text) {
  if (!RuntimeReady() || !OnMainThread()) return 0;
  QClipboard* cb = QGuiApplication::clipboard();
  if (!cb) return 0;
  QString t = ToQ(text);
  cb->setText(t);
  return 1;
}

std::string GetClipboardText() {
  if (!RuntimeReady() || !OnMainThread()) return std::string();
  QClipboard* cb = QGuiApplication::clipboard();
  return cb ? FromQ(cb->text()) : std::string();
}
