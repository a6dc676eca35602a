#include "app/DeviceListing.h"

#include "vport/PortPlace.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>

#include <algorithm>

namespace
{

const QString kUnknown = QStringLiteral("-");

QString Location(const std::optional<std::uint32_t> &Location)
{
    return Location ? QStringLiteral("0x%1").arg(*Location, 0, 16) : kUnknown;
}

QString Serial(const std::optional<std::string> &Serial)
{
    return Serial && !Serial->empty() ? TPortPlace::Printable(DriverText(*Serial)) : kUnknown;
}

QString State(const TDeviceEntry &Entry)
{
    if (Entry.Openable)
        return QStringLiteral("openable");
    return QStringLiteral("not openable: ") + TPortPlace::Printable(DriverText(Entry.Reason));
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
        rows.append({TPortPlace::Printable(DriverText(entry.Description)), Serial(entry.Serial),
                     Location(entry.Location), State(entry)});
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
        device.insert(QStringLiteral("openable"), entry.Openable);
        device.insert(QStringLiteral("reason"), DriverText(entry.Reason));
        devices.append(device);
    }
    // No device: "[]", which the indented form would spread over two lines.
    if (devices.isEmpty())
        return QByteArrayLiteral("[]\n");
    return QJsonDocument(devices).toJson(QJsonDocument::Indented);
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
                             : QStringLiteral("uses serial number %1")
                                   .arg(TPortPlace::Printable(DriverText(*UsedSerial)));
    return QStringLiteral("%1 devices are described '%2' (serial numbers %3); this link %4. "
                          "To choose one by its serial number: velmor-bridge --serial SERIAL")
        .arg(Twins.size())
        .arg(TPortPlace::Printable(DriverText(Description)), serials.join(QStringLiteral(", ")),
             used);
}
