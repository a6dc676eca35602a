// The command lines of both programs, read as getopt_long reads them, so that they take what
// users of other Linux tools type: `-d NAME`, `--device NAME`, `--device=NAME`, `-dNAME`, a
// unique prefix of a long name (`--dev`), short flags together (`-qw`), and `--` before
// operands. The arguments stay the bytes given: a value is decoded, strictly as UTF-8, by whoever
// takes it, so that no name is rewritten into one the user did not give.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>
#include <span>
#include <vector>

// One option of a program.
struct TOptionForm {
    const char *Long;  // "device", for --device
    char Short;        // 'd', for -d; 0 for none
    const char *Value; // the value's name in the usage ("DESCRIPTION"); null for a flag
    const char *Help;  // its line(s) in the usage; '\n' starts a continuation line
};

// One option as given, in the order given.
struct TGivenOption {
    const TOptionForm *Form;
    QByteArray Value; // a flag's is empty
    bool Is(const char *Long) const;
};

struct TCommandLine {
    std::vector<TGivenOption> Given;
    // What is not an option, in order (everything after `--` is).
    QList<QByteArray> Operands;
    // Why the command line cannot be read; empty when it could be. Names the argument as given,
    // escaped.
    QString Error;
};

// Arguments: without the program's name. Reading stops at the first error.
TCommandLine ReadCommandLine(std::span<const TOptionForm> Options,
                             const QList<QByteArray> &Arguments);

// The options' part of a usage text: one option a line, its short form first
// ("  -p, --port NAME       ..."), the help in a column; Help lines should fit in 56.
QString OptionsUsage(std::span<const TOptionForm> Options);

// An argument as text: the bytes given, strictly as UTF-8, a leading byte order mark included;
// nothing when they are not UTF-8.
std::optional<QString> Utf8Argument(const QByteArray &Bytes);

// An argument for a message: its text with control and format characters escaped, or, when it
// is not UTF-8, ASCII as it is and every other byte as \xHH.
QString PrintableArgument(const QByteArray &Bytes);
