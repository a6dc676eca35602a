#include "app/CommandLine.h"

#include "vport/PortPlace.h"

#include <QStringDecoder>

#include <getopt.h>

#include <algorithm>
#include <cstring>

namespace
{

// Long-only options are told apart by values beyond any character.
constexpr int kLongOnlyBase = 0x100;

QByteArray ArgumentText(const char *Argument)
{
    return Argument != nullptr ? QByteArray(Argument) : QByteArray();
}

} // namespace

bool TGivenOption::Is(const char *Long) const
{
    return std::strcmp(Form->Long, Long) == 0;
}

std::optional<QString> Utf8Argument(const QByteArray &Bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                     QStringDecoder::Flag::ConvertInitialBom);
    QString text = decoder.decode(Bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

QString PrintableArgument(const QByteArray &Bytes)
{
    if (const std::optional<QString> text = Utf8Argument(Bytes))
        return TPortPlace::Printable(*text);
    QString shown;
    for (const char byte : Bytes) {
        const auto code = static_cast<unsigned char>(byte);
        shown += code < 0x80 ? TPortPlace::Printable(QString(QLatin1Char(byte)))
                             : QStringLiteral("\\x%1").arg(code, 2, 16, QLatin1Char('0'));
    }
    return shown;
}

TCommandLine ReadCommandLine(std::span<const TOptionForm> Options,
                             const QList<QByteArray> &Arguments)
{
    // getopt_long reads (and permutes) an argv of its own: a copy, the program's name first.
    std::vector<QByteArray> copies{QByteArray("program")};
    copies.insert(copies.end(), Arguments.begin(), Arguments.end());
    std::vector<char *> argv;
    for (QByteArray &each : copies)
        argv.push_back(each.data());
    argv.push_back(nullptr);

    // ':' first: a missing value is told from an unknown option, and getopt says nothing itself.
    std::string shorts = ":";
    std::vector<option> longs;
    for (std::size_t i = 0; i < Options.size(); ++i) {
        const TOptionForm &form = Options[i];
        const int value = form.Short != 0 ? form.Short : kLongOnlyBase + int(i);
        if (form.Short != 0) {
            shorts += form.Short;
            if (form.Value != nullptr)
                shorts += ':';
        }
        longs.push_back(
            {form.Long, form.Value != nullptr ? required_argument : no_argument, nullptr, value});
    }
    longs.push_back({nullptr, 0, nullptr, 0});
    auto formOf = [&](int Value) -> const TOptionForm * {
        for (std::size_t i = 0; i < Options.size(); ++i)
            if ((Options[i].Short != 0 ? Options[i].Short : kLongOnlyBase + int(i)) == Value)
                return &Options[i];
        return nullptr;
    };

    TCommandLine line;
    const int argc = int(argv.size()) - 1;
    // 0, not 1: the whole state of getopt is set anew, as another command line may come before.
    optind = 0;
    opterr = 0;
    for (;;) {
        const int got = getopt_long(argc, argv.data(), shorts.c_str(), longs.data(), nullptr);
        if (got == -1)
            break;
        const TOptionForm *form = formOf(got == '?' || got == ':' ? optopt : got);
        // After an error getopt has moved past the argument in fault, unless it stopped inside
        // a cluster of short options, where optopt names the one in fault.
        const QByteArray last = ArgumentText(argv[std::size_t(std::max(optind - 1, 1))]);
        const bool longForm = last.startsWith("--");
        if (got == ':') {
            line.Error = QStringLiteral("%1 needs a value")
                             .arg(longForm || form->Short == 0
                                      ? QStringLiteral("--%1").arg(QLatin1String(form->Long))
                                      : QStringLiteral("-%1").arg(QLatin1Char(form->Short)));
            return line;
        }
        if (got == '?') {
            if (form != nullptr)
                line.Error = QStringLiteral("--%1 takes no value").arg(QLatin1String(form->Long));
            else if (optopt != 0)
                line.Error = QStringLiteral("unknown option '-%1'")
                                 .arg(PrintableArgument(QByteArray(1, char(optopt))));
            else
                line.Error = QStringLiteral("unknown argument '%1'").arg(PrintableArgument(last));
            return line;
        }
        TGivenOption option{form, {}};
        if (form->Value != nullptr)
            option.Value = QByteArray(optarg);
        line.Given.push_back(std::move(option));
    }
    for (int i = optind; i < argc; ++i)
        line.Operands.append(QByteArray(argv[std::size_t(i)]));
    return line;
}

QString OptionsUsage(std::span<const TOptionForm> Options)
{
    auto written = [](const TOptionForm &Form) {
        QString text = Form.Short != 0 ? QStringLiteral("  -%1, ").arg(QLatin1Char(Form.Short))
                                       : QStringLiteral("      ");
        text += QStringLiteral("--") + QLatin1String(Form.Long);
        if (Form.Value != nullptr)
            text += QLatin1Char(' ') + QLatin1String(Form.Value);
        return text;
    };
    // The help column as GNU tools have it; a longer form puts its help on the next line.
    constexpr qsizetype kColumn = 24;
    QString usage;
    for (const TOptionForm &form : Options) {
        const QStringList lines = QString::fromUtf8(form.Help).split(QLatin1Char('\n'));
        const QString shown = written(form);
        usage +=
            shown.size() + 2 <= kColumn
                ? shown.leftJustified(kColumn) + lines.front()
                : shown + QLatin1Char('\n') + QString(kColumn, QLatin1Char(' ')) + lines.front();
        usage += QLatin1Char('\n');
        for (qsizetype i = 1; i < lines.size(); ++i)
            usage += QString(kColumn, QLatin1Char(' ')) + lines[i] + QLatin1Char('\n');
    }
    return usage;
}
