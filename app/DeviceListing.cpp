#include "app/DeviceListing.h"

#include "app/UsbPath.h"
#include "device/ShownText.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>

#include <algorithm>

namespace
{

const QString kUnknown = QStringLiteral("-");

QString Shown(const std::string &Text)
{
    return QString::fromStdString(shown::ShownText(Text));
}

// JSON's own escapes for what its writer leaves as it is but a terminal would act on (a
// right-to-left override, a line separator): the document stays the same JSON, its text safe to
// print. Such characters stand only inside strings, where \uHHHH means the same.
QByteArray EscapedJson(const QByteArray &Json)
{
    const QString text = QString::fromUtf8(Json);
    QString escaped;
    escaped.reserve(text.size());
    for (qsizetype at = 0; at < text.size(); ++at) {
        char32_t code = text[at].unicode();
        qsizetype units = 1;
        if (text[at].isHighSurrogate() && at + 1 < text.size() && text[at + 1].isLowSurrogate()) {
            code = QChar::surrogateToUcs4(text[at], text[at + 1]);
            units = 2;
        }
        // A character past U+FFFF is escaped as its surrogate pair, as JSON has it. Control
        // characters stand raw only as the layout's line ends: the writer escapes them in strings.
        const bool escape = code >= 0x20 && shown::IsEscaped(code);
        for (const QChar unit : QStringView(text).mid(at, units))
            escaped += escape ? QStringLiteral("\\u%1").arg(unit.unicode(), 4, 16, QLatin1Char('0'))
                              : QString(unit);
        at += units - 1;
    }
    return escaped.toUtf8();
}

QString Location(const std::optional<std::uint32_t> &Location)
{
    return Location ? QStringLiteral("0x%1").arg(*Location, 0, 16) : kUnknown;
}

QString Serial(const std::optional<std::string> &Serial)
{
    return Serial && !Serial->empty() ? Shown(*Serial) : kUnknown;
}

QString State(const TDeviceEntry &Entry)
{
    if (Entry.Openable)
        return QStringLiteral("openable");
    return QStringLiteral("not openable: ") + Shown(Entry.Reason);
}

} // namespace

QString DriverText(const std::string &Text)
{
    const QByteArray bytes = QByteArray::fromStdString(Text);
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(bytes);
    return decoder.hasError() ? QString::fromLatin1(bytes) : text;
}

QStringList DeviceLines(const std::vector<TDeviceEntry> &Entries)
{
    // Each column as wide as its widest entry, two blanks between.
    QList<QStringList> rows;
    for (const TDeviceEntry &entry : Entries)
        rows.append({Shown(entry.Description), Serial(entry.Serial), Location(entry.Location),
                     State(entry)});
    std::vector<qsizetype> widths(3, 0);
    for (const QStringList &row : rows)
        for (std::size_t column = 0; column < widths.size(); ++column)
            widths[column] = std::max(widths[column], row[qsizetype(column)].size());
    QStringList lines;
    for (const QStringList &row : rows) {
        QString line;
        for (std::size_t column = 0; column < widths.size(); ++column)
            line += row[qsizetype(column)].leftJustified(widths[column]) + QStringLiteral("  ");
        lines.append(line + row.last());
    }
    return lines;
}

QByteArray DevicesJson(const std::vector<TDeviceEntry> &Entries)
{
    QJsonArray devices;
    for (const TDeviceEntry &entry : Entries) {
        QJsonObject device;
        device.insert(QStringLiteral("description"), DriverText(entry.Description));
        device.insert(QStringLiteral("serial"),
                      entry.Serial ? QJsonValue(DriverText(*entry.Serial)) : QJsonValue());
        device.insert(QStringLiteral("location"),
                      entry.Location ? QJsonValue(qint64(*entry.Location)) : QJsonValue());
        const std::optional<std::string> path =
            entry.Location ? UsbPath(*entry.Location, entry.Serial) : std::nullopt;
        device.insert(QStringLiteral("usb_path"),
                      path ? QJsonValue(QString::fromStdString(*path)) : QJsonValue());
        device.insert(QStringLiteral("openable"), entry.Openable);
        device.insert(QStringLiteral("reason"), DriverText(entry.Reason));
        // What to give --device and --serial: the text --list shows, which names the bytes
        // even where the driver's are not UTF-8.
        device.insert(QStringLiteral("device_argument"), Shown(entry.Description));
        device.insert(QStringLiteral("serial_argument"), entry.Serial && !entry.Serial->empty()
                                                             ? QJsonValue(Shown(*entry.Serial))
                                                             : QJsonValue());
        devices.append(device);
    }
    // No device: "[]", which the indented form would spread over two lines.
    if (devices.isEmpty())
        return QByteArrayLiteral("[]\n");
    return EscapedJson(QJsonDocument(devices).toJson(QJsonDocument::Indented));
}

QString TwinsNote(const std::string &Description, const std::vector<TDeviceEntry> &Twins,
                  const std::optional<std::string> &UsedSerial)
{
    if (Twins.size() < 2)
        return {};
    QStringList serials;
    for (const TDeviceEntry &twin : Twins)
        serials.append(Serial(twin.Serial));
    const QString used = !UsedSerial ? QStringLiteral("could not open the first listed")
                         : UsedSerial->empty()
                             ? QStringLiteral("uses the first listed")
                             : QStringLiteral("uses serial number %1").arg(Shown(*UsedSerial));
    return QStringLiteral("%1 devices are described '%2' (serial numbers %3); this link %4. "
                          "To choose one by its serial number: velmor-bridge --serial SERIAL")
        .arg(Twins.size())
        .arg(Shown(Description), serials.join(QStringLiteral(", ")), used);
}
