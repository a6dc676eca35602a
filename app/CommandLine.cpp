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
    return std::strcmp(Spec->Long, Long) == 0;
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

TCommandLine ReadCommandLine(std::span<const TOptionSpec> Options,
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
        const TOptionSpec &spec = Options[i];
        const int value = spec.Short != 0 ? spec.Short : kLongOnlyBase + int(i);
        if (spec.Short != 0) {
            shorts += spec.Short;
            if (spec.Value != nullptr)
                shorts += ':';
        }
        longs.push_back(
            {spec.Long, spec.Value != nullptr ? required_argument : no_argument, nullptr, value});
    }
    longs.push_back({nullptr, 0, nullptr, 0});
    auto specOf = [&](int Value) -> const TOptionSpec * {
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
        const TOptionSpec *spec = specOf(got == '?' || got == ':' ? optopt : got);
        // After an error getopt has moved past the argument in fault, unless it stopped inside
        // a cluster of short options, where optopt names the one in fault.
        const QByteArray last = ArgumentText(argv[std::size_t(std::max(optind - 1, 1))]);
        const bool longForm = last.startsWith("--");
        if (got == ':') {
            line.Error = QStringLiteral("%1 needs a value")
                             .arg(longForm || spec->Short == 0
                                      ? QStringLiteral("--%1").arg(QLatin1String(spec->Long))
                                      : QStringLiteral("-%1").arg(QLatin1Char(spec->Short)));
            return line;
        }
        if (got == '?') {
            if (spec != nullptr)
                line.Error = QStringLiteral("--%1 takes no value").arg(QLatin1String(spec->Long));
            else if (optopt != 0)
                line.Error = QStringLiteral("unknown option '-%1'")
                                 .arg(PrintableArgument(QByteArray(1, char(optopt))));
            else
                line.Error = QStringLiteral("unknown argument '%1'").arg(PrintableArgument(last));
            return line;
        }
        TGivenOption option{spec, {}};
        if (spec->Value != nullptr)
            option.Value = QByteArray(optarg);
        line.Given.push_back(std::move(option));
    }
    for (int i = optind; i < argc; ++i)
        line.Operands.append(QByteArray(argv[std::size_t(i)]));
    return line;
}

QString OptionsUsage(std::span<const TOptionSpec> Options)
{
    // The help column starts after the longest form, two spaces on.
    auto form = [](const TOptionSpec &Spec) {
        QString text = Spec.Short != 0 ? QStringLiteral("  -%1, ").arg(QLatin1Char(Spec.Short))
                                       : QStringLiteral("      ");
        text += QStringLiteral("--") + QLatin1String(Spec.Long);
        if (Spec.Value != nullptr)
            text += QLatin1Char(' ') + QLatin1String(Spec.Value);
        return text;
    };
    // The help column as GNU tools have it; a longer form puts its help on the next line.
    constexpr qsizetype kColumn = 24;
    QString usage;
    for (const TOptionSpec &spec : Options) {
        const QStringList lines = QString::fromUtf8(spec.Help).split(QLatin1Char('\n'));
        const QString shown = form(spec);
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
