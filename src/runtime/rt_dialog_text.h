// Rules of message boxes and save dialogs that every back end applies the same way: the
// unattended mode, the answers, the file pattern, and the wait of a worker thread whose
// dialog the main thread shows. No toolkit or system type here.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace rt {

// CORVALE_DIALOGS=stderr answers every dialog unattended; so does a platform that shows
// nothing, unless CORVALE_DIALOGS names another mode ("show").
bool DialogsToStderr(bool platformShowsNothing);

// The answer of a box nobody sees: its default button.
int DefaultDialogAnswer(int flags);
// The answer of a box that cannot be shown at all (teardown): the cautious one.
int RefusedDialogAnswer(int flags);

// A box answered without being shown: its line goes to standard error, and the answer is
// CORVALE_DIALOG_ANSWER's (when fromEnvironment and the box has that button) or the
// default button.
int AnswerBoxUnseen(std::string_view caption, std::string_view text, int flags, bool fromEnvironment);
// The save dialog answered without being shown: CORVALE_DIALOG_FILE when fromEnvironment,
// else "" (cancel).
std::string AnswerSaveUnseen(std::string_view title, std::string_view defaultFile, bool fromEnvironment);

// "Name|*.a;*.b|Other|*.c" as its (name, patterns) pairs; a name without patterns is
// dropped.
std::vector<std::pair<std::string, std::string>> SplitFilePattern(std::string_view pattern);

// A dialog asked for by a worker thread: the main thread shows it, the worker waits for
// the answer. answer 0 means the teardown refused it.
struct DialogRequest {
  bool done = false;
  int answer = 0;
  std::string path;
};
// A new waiting request; nullptr once the dialogs are closed (teardown): answer at once.
std::shared_ptr<DialogRequest> OpenDialogRequest();
void WaitDialogRequest(const std::shared_ptr<DialogRequest>& request);
bool DialogRequestAnswered(const std::shared_ptr<DialogRequest>& request);
// The first answer counts; later ones are ignored.
void FinishDialogRequest(const std::shared_ptr<DialogRequest>& request, int answer, const std::string& path);
// RuntimeInit opens the dialogs; the teardown closes them and releases every waiter.
void OpenDialogs();
void CloseDialogs();

}  // namespace rt
