// Message boxes, the save-file dialog and the clipboard.
#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

#include "runtime/rt_dialog_text.h"
#include "runtime/rt_internal.h"

namespace rt {

namespace {

// CORVALE_DIALOGS=stderr answers every box unattended; so does a platform that shows
// nothing (offscreen, minimal), where a box could never be answered by anyone.
// CORVALE_DIALOGS=show shows them anyway.
bool StderrMode() {
  bool showsNothing = false;
  if (RuntimeReady()) {
    QString p = QGuiApplication::platformName();
    showsNothing = p == QLatin1String("offscreen") || p == QLatin1String("minimal");
  }
  return DialogsToStderr(showsNothing);
}

int ButtonSet(int flags) { return flags & 0xF; }

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
  switch (DefaultDialogAnswer(flags)) {
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
      return RefusedDialogAnswer(flags);
  }
}

// "Name|*.a;*.b|Other|*.c" -> "Name (*.a *.b);;Other (*.c)".
QString FilterOf(const std::string& pattern, int index, QString* selected) {
  QStringList filters;
  for (const auto& [n, g] : SplitFilePattern(pattern)) {
    QString globs = ToQ(g);
    globs.replace(QLatin1Char(';'), QLatin1Char(' '));
    QString name = ToQ(n);
    // The name often repeats the globs in parentheses already ("Debug log (*.txt)").
    filters << (name.contains(QLatin1Char('(')) ? name.section(QLatin1Char('('), 0, 0).trimmed() : name) +
                   QStringLiteral(" (") + globs + QLatin1Char(')');
  }
  if (selected && index >= 0 && index < filters.size()) *selected = filters[index];
  return filters.join(QStringLiteral(";;"));
}

}  // namespace

void StartDialogs() { OpenDialogs(); }

void TeardownDialogs() { CloseDialogs(); }

}  // namespace rt

using namespace rt;

int ShowMessageBox(const std::string& caption, const std::string& text, int flags, int owner) {
  const bool unattended = StderrMode();
  if (unattended || !RuntimeReady()) return AnswerBoxUnseen(caption, text, flags, unattended);
  if (OnMainThread()) {
    QMessageBox* box = MakeBox(caption, text, flags, owner);
    if (!owner || (flags & MbTaskModal)) box->setWindowModality(Qt::ApplicationModal);
    box->exec();
    int answer = AnswerOf(box->standardButton(box->clickedButton()), flags);
    if (!box->clickedButton()) answer = RefusedDialogAnswer(flags);
    delete box;
    return answer;
  }
  std::shared_ptr<DialogRequest> req = OpenDialogRequest();
  if (!req) return RefusedDialogAnswer(flags);
  // The main thread shows the box without a modal loop of its own, so the player's loop
  // keeps running while this worker waits for the answer.
  QMetaObject::invokeMethod(
      qApp,
      [req, caption, text, flags, owner]() {
        if (DialogRequestAnswered(req)) return;  // the teardown answered it already
        QMessageBox* box = MakeBox(caption, text, flags, owner);
        box->setAttribute(Qt::WA_DeleteOnClose, true);
        box->setWindowModality(owner && FindWindow(owner) ? Qt::WindowModal : Qt::NonModal);
        QObject::connect(box, &QMessageBox::finished, box, [req, box, flags](int) {
          QAbstractButton* b = box->clickedButton();
          FinishDialogRequest(req, b ? AnswerOf(box->standardButton(b), flags) : RefusedDialogAnswer(flags),
                              std::string());
        });
        QObject::connect(box, &QObject::destroyed,
                         [req, flags]() { FinishDialogRequest(req, RefusedDialogAnswer(flags), std::string()); });
        box->open();
        box->raise();
        box->activateWindow();
      },
      Qt::QueuedConnection);
  WaitDialogRequest(req);
  return req->answer ? req->answer : RefusedDialogAnswer(flags);
}

std::string SaveFileRequester(const std::string& title, const std::string& defaultFile, const std::string& pattern,
                              int patternIndex) {
  const bool unattended = StderrMode();
  if (unattended || !RuntimeReady()) return AnswerSaveUnseen(title, defaultFile, unattended);
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
  std::shared_ptr<DialogRequest> req = OpenDialogRequest();
  if (!req) return std::string();
  QMetaObject::invokeMethod(
      qApp,
      [req, configure]() {
        if (DialogRequestAnswered(req)) return;
        auto* d = new QFileDialog();
        d->setAttribute(Qt::WA_DeleteOnClose, true);
        configure(d);
        QObject::connect(d, &QFileDialog::finished, d, [req, d](int result) {
          std::string path;
          if (result == QDialog::Accepted && !d->selectedFiles().isEmpty()) path = FromQ(d->selectedFiles().first());
          FinishDialogRequest(req, 1, path);
        });
        QObject::connect(d, &QObject::destroyed, [req]() { FinishDialogRequest(req, 1, std::string()); });
        d->open();
      },
      Qt::QueuedConnection);
  WaitDialogRequest(req);
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
