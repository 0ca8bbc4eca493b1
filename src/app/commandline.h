#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// The client's command line: --help and --version, answered before any window (and so without a
// display), and a refusal of options nobody knows once the framework has taken its own.
namespace CommandLine {

// "tolvar-storage 2.1.23".
QString versionText();

// Answers --help/-h and --version/-v on stdout; the exit code when the program should end now.
// Creates a short-lived core application only when one of them was asked for.
std::optional<int> answerEarly(int argc, char *argv[]);
// After QApplication removed the options it knows from arguments: an unknown option ends the
// program with a message on stderr and exit code 2. Positional arguments are ignored.
std::optional<int> refuseUnknown(const QStringList &arguments);

} // namespace CommandLine
