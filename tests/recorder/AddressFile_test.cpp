#include "recorder/AddressFile.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

QByteArray entry(const QByteArray& text)
{
    QByteArray out;
    out.append(static_cast<char>(text.size() & 0xFF));
    out.append(static_cast<char>((text.size() >> 8) & 0xFF));
    return out + text;
}

class AddressFileTest : public ::testing::Test {
protected:
    QString path() const { return dir.filePath(QStringLiteral("IPDT.DAT")); }
    void put(const QByteArray& bytes) const
    {
        QFile f(path());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    QByteArray stored() const
    {
        QFile f(path());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QTemporaryDir dir;
};

TEST_F(AddressFileTest, WritesTheFourTextsByteExactAndReadsThemBack)
{
    hs::AddressTexts texts;
    texts.addresses = {QStringLiteral("192.168.1.5"), QStringLiteral("10.0.0.17")};
    texts.ports = {QStringLiteral("8802"), QStringLiteral("8812")};
    ASSERT_TRUE(hs::writeAddressFile(path(), texts));

    const QByteArray expected =
        QByteArray::fromHex("0b00") + "192.168.1.5" + QByteArray::fromHex("0900") + "10.0.0.17" +
        QByteArray::fromHex("0400") + "8802" + QByteArray::fromHex("0400") + "8812";
    EXPECT_EQ(stored(), expected);

    const auto back = hs::readAddressFile(path());
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->addresses, texts.addresses);
    EXPECT_EQ(back->ports, texts.ports);
}

TEST_F(AddressFileTest, RewritingAShorterSetLeavesNoOldBytesBehind)
{
    hs::AddressTexts longTexts{
        {QStringLiteral("192.168.100.105"), QStringLiteral("192.168.100.106")},
        {QStringLiteral("18802"), QStringLiteral("18812")}};
    hs::AddressTexts shortTexts{{QStringLiteral("1.2.3.4"), QString()},
                                {QStringLiteral("8802"), QString()}};
    ASSERT_TRUE(hs::writeAddressFile(path(), longTexts));
    ASSERT_TRUE(hs::writeAddressFile(path(), shortTexts));
    EXPECT_EQ(stored().size(), 4 * 2 + 7 + 4);
    const auto back = hs::readAddressFile(path());
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->addresses[1], QString());
    EXPECT_EQ(back->ports[0], QStringLiteral("8802"));
}

TEST_F(AddressFileTest, TrailingBytesAfterTheFourTextsAreIgnored)
{
    put(entry("a") + entry("b") + entry("1") + entry("2") + "garbage");
    const auto back = hs::readAddressFile(path());
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->ports[1], QStringLiteral("2"));
}

TEST_F(AddressFileTest, MissingOrDamagedFilesAreUnreadable)
{
    EXPECT_FALSE(hs::readAddressFile(path()).has_value()) << "missing";

    put(QByteArray());
    EXPECT_FALSE(hs::readAddressFile(path()).has_value()) << "empty";

    put(entry("192.168.1.5") + entry("192.168.1.6") + entry("8802"));
    EXPECT_FALSE(hs::readAddressFile(path()).has_value()) << "three texts only";

    put(entry("192.168.1.5").left(8));
    EXPECT_FALSE(hs::readAddressFile(path()).has_value()) << "text cut short";

    // A count longer than the file, a negative count, an absurd count.
    put(QByteArray::fromHex("ff7f") + "192.168.1.5");
    EXPECT_FALSE(hs::readAddressFile(path()).has_value()) << "32767";
    put(QByteArray::fromHex("ffff") + QByteArray(70000, 'x'));
    EXPECT_FALSE(hs::readAddressFile(path()).has_value()) << "negative";
    put(QByteArray::fromHex("0001") + QByteArray(256, '1') + entry("b") + entry("1") + entry("2"));
    EXPECT_FALSE(hs::readAddressFile(path()).has_value()) << "256 bytes";
}

TEST_F(AddressFileTest, AnUnwritablePathReportsFailure)
{
    hs::AddressTexts texts{{QStringLiteral("a"), QStringLiteral("b")},
                           {QStringLiteral("1"), QStringLiteral("2")}};
    EXPECT_FALSE(
        hs::writeAddressFile(dir.filePath(QStringLiteral("no/such/folder/IPDT.DAT")), texts));
    texts.addresses[0] = QString(256, QLatin1Char('1'));
    EXPECT_FALSE(hs::writeAddressFile(path(), texts));
    EXPECT_FALSE(QFile::exists(path()));
}

} // namespace
