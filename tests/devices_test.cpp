// Devices told apart: the listing through FT_ListDevices's three by-index forms, against a driver
// table of the test's own, the two ways velmor-bridge --list shows it, and how what the driver
// gave is shown escaped and named back.
#include "app/DeviceListing.h"
#include "device/DeviceList.h"
#include "device/ShownText.h"

#include <QChar>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

using d2xx::DWORD;
using d2xx::FT_STATUS;
using testing::ElementsAre;

namespace
{

// What the test's driver lists: each device's bytes as they go into the buffers (no NUL added
// when they fill it), a serial number or location it does not answer being absent.
struct TListed {
    std::string Description;
    std::optional<std::string> Serial;
    std::optional<DWORD> Location;
};
std::vector<TListed> Listed;
// The index at which the description form fails, and whether the count fails.
std::optional<DWORD> FailingIndex;
bool CountFails = false;

void Fill(const std::string &Text, void *Buffer, std::size_t Size)
{
    std::memcpy(Buffer, Text.data(), std::min(Text.size(), Size));
    if (Text.size() < Size)
        static_cast<char *>(Buffer)[Text.size()] = '\0';
}

FT_STATUS FakeListDevices(void *pArg1, void *pArg2, DWORD Flags)
{
    if (Flags == d2xx::FT_LIST_NUMBER_ONLY) {
        *static_cast<DWORD *>(pArg1) = DWORD(Listed.size());
        return CountFails ? d2xx::FT_IO_ERROR : d2xx::FT_OK;
    }
    const auto index = DWORD(reinterpret_cast<std::uintptr_t>(pArg1));
    if (index >= Listed.size())
        return d2xx::FT_DEVICE_NOT_FOUND;
    const TListed &device = Listed[index];
    switch (Flags & ~d2xx::FT_LIST_BY_INDEX) {
    case d2xx::FT_OPEN_BY_DESCRIPTION:
        if (FailingIndex == index)
            return d2xx::FT_IO_ERROR;
        Fill(device.Description, pArg2, d2xx::kDescriptionSize);
        return d2xx::FT_OK;
    case d2xx::FT_OPEN_BY_SERIAL_NUMBER:
        if (!device.Serial)
            return d2xx::FT_INVALID_PARAMETER;
        Fill(*device.Serial, pArg2, d2xx::kSerialNumberSize);
        return d2xx::FT_OK;
    case d2xx::FT_OPEN_BY_LOCATION:
        if (!device.Location)
            return d2xx::FT_INVALID_PARAMETER;
        *static_cast<DWORD *>(pArg2) = *device.Location;
        return d2xx::FT_OK;
    }
    return d2xx::FT_INVALID_PARAMETER;
}

class DeviceList : public testing::Test
{
protected:
    void SetUp() override
    {
        Listed.clear();
        FailingIndex.reset();
        CountFails = false;
        Table.FT_ListDevices = FakeListDevices;
    }
    std::vector<TDeviceEntry> List(bool ExpectFailure = false)
    {
        std::vector<TDeviceEntry> entries;
        EXPECT_EQ(ListDeviceEntries(Table, entries), ExpectFailure);
        return entries;
    }
    d2xx::TD2xxTable Table;
};

TDeviceEntry Entry(std::string Description, std::optional<std::string> Serial,
                   std::optional<std::uint32_t> Location, std::string Reason = {})
{
    return {std::move(Description), std::move(Serial), Location, Reason.empty(), std::move(Reason)};
}

} // namespace

TEST_F(DeviceList, EachDeviceAsFarAsTheDriverTellsItApart)
{
    const std::string full64(64, 'D');
    const std::string full16 = "FT0123456789ABCD";
    Listed = {
        {"SSC Simulator", "SIM000", 0x11},
        {"SSC Simulator", "SIM001", 0x12},
        // A driver that lists neither serial numbers nor locations.
        {"Old driver", std::nullopt, std::nullopt},
        // Buffers filled to the last byte, without NUL.
        {full64 + "cut", full16 + "cut", 0xFFFFFFFF},
    };
    EXPECT_THAT(List(), ElementsAre(Entry("SSC Simulator", "SIM000", 0x11),
                                    Entry("SSC Simulator", "SIM001", 0x12),
                                    Entry("Old driver", std::nullopt, std::nullopt),
                                    Entry(full64, full16, 0xFFFFFFFF)));
}

TEST_F(DeviceList, AChipTheDriverCannotReadCarriesItsReason)
{
    struct TCase {
        TListed Listed;
        TDeviceEntry Expected;
    };
    const TCase cases[] = {
        // As libftd2xx-ftdi1.so lists a chip it may not open: no serial number, the reason last.
        {{"Dual RS232-HS A (no permission: udev rule 70-velmor-ssc.rules)", "", 0x21},
         Entry("Dual RS232-HS A", "", 0x21, "no permission: udev rule 70-velmor-ssc.rules")},
        {{"Single RS232-HS (LIBUSB_ERROR_IO)", "", std::nullopt},
         Entry("Single RS232-HS", "", std::nullopt, "LIBUSB_ERROR_IO")},
        // A description of its own that ends in parentheses, on a board that was read.
        {{"Board (rev 2)", "FT01", 0x11}, Entry("Board (rev 2)", "FT01", 0x11)},
        // ... or on a driver that lists no serial numbers at all.
        {{"Board (rev 2)", std::nullopt, std::nullopt},
         Entry("Board (rev 2)", std::nullopt, std::nullopt)},
        // Not a reason: nothing inside, no blank before, nothing before.
        {{"Board ()", "", 0x11}, Entry("Board ()", "", 0x11)},
        {{"Board(x)", "", 0x11}, Entry("Board(x)", "", 0x11)},
        {{" (x)", "", 0x11}, Entry(" (x)", "", 0x11)},
        // Nothing to choose it by.
        {{"", "", 0x11}, Entry("", "", 0x11, "listed without description or serial number")},
        {{"", std::nullopt, std::nullopt},
         Entry("", std::nullopt, std::nullopt, "listed without description or serial number")},
        // A serial number alone is enough to choose it by.
        {{"", "FT02", 0x11}, Entry("", "FT02", 0x11)},
    };
    for (const TCase &test : cases) {
        SCOPED_TRACE(test.Listed.Description);
        Listed = {test.Listed};
        EXPECT_THAT(List(), ElementsAre(test.Expected));
    }
}

TEST_F(DeviceList, AFailingListingKeepsWhatWasListedAndSaysSo)
{
    Listed = {{"First", "A", 1}, {"Second", "B", 2}};
    FailingIndex = 1;
    EXPECT_THAT(List(true), ElementsAre(Entry("First", "A", 1)));
    FailingIndex.reset();
    CountFails = true;
    EXPECT_TRUE(List(true).empty());
    Table.FT_ListDevices = nullptr;
    EXPECT_TRUE(List(true).empty());
}

// ---------------------------------------------------------------------------------------------
// How --list shows them

TEST(DeviceListing, JsonCarriesEveryStringExactlyAndParses)
{
    // Text from a chip's EEPROM may be anything: quotes, backslashes, control characters, UTF-8,
    // and bytes that are not UTF-8 (taken as Latin-1 rather than lost).
    struct TCase {
        std::string Bytes;
        QString Text;
    };
    const TCase cases[] = {
        {"SSC Simulator", "SSC Simulator"},
        {"say \"hi\"", "say \"hi\""},
        {"back\\slash", "back\\slash"},
        {"tab\there\nline\x01\x1b[2J", "tab\there\nline\x01\x1b[2J"},
        {"Gr\xc3\xbc\xc3\x9f"
         "e \xe2\x82\xac",
         QStringLiteral("Grüße €")},
        {"Latin \xe9t\xe9", QStringLiteral("Latin été")},
        {"", ""},
    };
    std::vector<TDeviceEntry> entries;
    for (const TCase &test : cases)
        entries.push_back(
            Entry(test.Bytes, test.Bytes, 0x11, test.Bytes.empty() ? "" : test.Bytes));
    entries.push_back(Entry("Unknown", std::nullopt, std::nullopt));

    const QByteArray json = DevicesJson(entries);
    EXPECT_TRUE(json.endsWith("]\n"));
    // Control characters only escaped, never raw, apart from the layout's own line ends.
    for (const char byte : json)
        EXPECT_TRUE(byte == '\n' || static_cast<unsigned char>(byte) >= 0x20) << int(byte);
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
    const QJsonArray devices = document.array();
    ASSERT_EQ(devices.size(), qsizetype(std::size(cases)) + 1);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const QJsonObject device = devices[qsizetype(i)].toObject();
        SCOPED_TRACE(cases[i].Bytes);
        EXPECT_EQ(device["description"].toString(), cases[i].Text);
        EXPECT_EQ(device["serial"].toString(), cases[i].Text);
        EXPECT_EQ(device["location"].toInteger(), 0x11);
        EXPECT_EQ(device["openable"].toBool(), cases[i].Bytes.empty());
        EXPECT_EQ(device["reason"].toString(), cases[i].Text);
    }
    const QJsonObject unknown = devices.last().toObject();
    EXPECT_TRUE(unknown["serial"].isNull());
    EXPECT_TRUE(unknown["location"].isNull());
    EXPECT_EQ(unknown["reason"].toString(), "");

    EXPECT_EQ(DevicesJson({}), "[]\n");
}

TEST(DeviceListing, OneLineADeviceInColumnsWithControlCharactersEscaped)
{
    const QStringList lines = DeviceLines({
        Entry("SSC Simulator", "SIM000", 0x11),
        Entry("Dual RS232-HS A", "", 0x1021, "no permission: udev rule 70-velmor-ssc.rules"),
        Entry("Bad\x1b[2J", std::nullopt, std::nullopt),
    });
    EXPECT_THAT(lines, ElementsAre("SSC Simulator    SIM000  0x11    openable",
                                   "Dual RS232-HS A  -       0x1021  not openable: no "
                                   "permission: udev rule 70-velmor-ssc.rules",
                                   "Bad\\x1b[2J       -       -       openable"));
    EXPECT_TRUE(DeviceLines({}).isEmpty());
}

// ---------------------------------------------------------------------------------------------
// How a description or serial number is shown, and named back

TEST(ShownText, WhatWouldActIsEscapedAndWhatIsShownNamesTheBytes)
{
    const struct {
        std::string Bytes;
        std::string Shown;
    } cases[] = {
        {"SSC Simulator", "SSC Simulator"},
        {"new\nline\r\t", "new\\nline\\r\\t"},
        {"esc\x1b[2J\x7f", "esc\\x1b[2J\\x7f"},
        {"\xe2\x80\xae"
         "evil.exe",
         "\\u202eevil.exe"},
        {"iso\xe2\x81\xa6late\xe2\x81\xa9 mark\xe2\x80\x8f zw\xe2\x80\x8b",
         "iso\\u2066late\\u2069 mark\\u200f zw\\u200b"},
        {"nbsp\xc2\xa0 c1\xc2\x85 tag\xf3\xa0\x80\x81", "nbsp\\u00a0 c1\\u0085 tag\\U000e0001"},
        {"caf\xe9", "caf\\xe9"},
        // Overlong, a surrogate, past U+10FFFF, cut short: each byte as itself.
        {"\xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80 \xe2\x80",
         "\\xc0\\xaf \\xed\\xa0\\x80 \\xf4\\x90\\x80\\x80 \\xe2\\x80"},
        {"C:\\dev\\n", "C:\\\\dev\\\\n"},
        {"Gr\xc3\xbc\xc3\x9f"
         "e \xe2\x82\xac \xf0\x9f\x94\x8c",
         "Gr\xc3\xbc\xc3\x9f"
         "e \xe2\x82\xac \xf0\x9f\x94\x8c"},
        {"", ""},
    };
    for (const auto &test : cases) {
        SCOPED_TRACE(test.Bytes);
        EXPECT_EQ(shown::ShownText(test.Bytes), test.Shown);
        EXPECT_TRUE(shown::Names(test.Shown, test.Bytes));
        EXPECT_TRUE(shown::Names(test.Bytes, test.Bytes));
    }

    // Qt's own tables agree: every control, format character and line or paragraph separator
    // is escaped, and letters are not.
    for (char32_t code = 0; code <= 0x10FFFF; ++code) {
        const QChar::Category category = QChar::category(code);
        const bool acts = category == QChar::Other_Control || category == QChar::Other_Format ||
                          category == QChar::Separator_Line ||
                          category == QChar::Separator_Paragraph ||
                          category == QChar::Other_PrivateUse;
        const bool plain = category == QChar::Letter_Lowercase ||
                           category == QChar::Letter_Uppercase ||
                           category == QChar::Number_DecimalDigit;
        if (acts || plain) {
            EXPECT_EQ(shown::IsEscaped(code), acts) << std::hex << std::uint32_t(code);
        }
    }

    // Named back: by the shown text first, which tells a line feed from a backslash and an n.
    const std::vector<TDeviceEntry> present = {
        Entry("a\\nb", "S\\1", 1),
        Entry("a\nb", "S\x01", 2),
        Entry("caf\xe9", "\xe9", 3),
    };
    const auto location = [](const std::optional<TDeviceEntry> &Found) {
        return Found ? Found->Location : std::nullopt;
    };
    EXPECT_EQ(location(NamedByDescription(present, "a\\nb")), 2u);
    EXPECT_EQ(location(NamedByDescription(present, "a\\\\nb")), 1u);
    EXPECT_EQ(location(NamedByDescription(present, "a\nb")), 2u);
    EXPECT_EQ(location(NamedByDescription(present, "caf\\xe9")), 3u);
    EXPECT_EQ(location(NamedByDescription(present, "caf\xe9")), 3u);
    EXPECT_EQ(NamedByDescription(present, "caf\xc3\xa9"), std::nullopt);
    EXPECT_EQ(location(NamedBySerial(present, "S\\x01")), 2u);
    EXPECT_EQ(location(NamedBySerial(present, "S\\\\1")), 1u);
    EXPECT_EQ(location(NamedBySerial(present, "\\xe9")), 3u);
    EXPECT_EQ(NamedBySerial(present, "\\xE9"), std::nullopt) << "the hex digits as shown";
}
