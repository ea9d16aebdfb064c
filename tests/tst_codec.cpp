// Windows-1252 text and the request/reply rules, with no network.
#include "cp1252.h"
#include "protocol.h"

#include <QTest>

using namespace Qt::StringLiterals;
using namespace velmario;
using namespace velmario::lookup;

class TestCodec : public QObject
{
    Q_OBJECT

private slots:
    void everyByteRoundTrips()
    {
        QByteArray all;
        for (int b = 0; b < 256; ++b)
            all.append(char(b));
        const QString text = decode(all);
        QCOMPARE(text.size(), 256);
        const auto back = encode(text);
        QVERIFY(back);
        QCOMPARE(*back, all);
        // The same through UTF-8, as the server uses it.
        const auto viaUtf8 = cp1252::fromUtf8(cp1252::toUtf8(all.toStdString()));
        QVERIFY(viaUtf8);
        QCOMPARE(QByteArray::fromStdString(*viaUtf8), all);
        QCOMPARE(QString::fromStdString(cp1252::toUtf8(all.toStdString())), text);
    }

    void knownBytes_data()
    {
        QTest::addColumn<int>("byte");
        QTest::addColumn<int>("codePoint");
        QTest::newRow("euro") << 0x80 << 0x20AC;
        QTest::newRow("undefined 0x81") << 0x81 << 0x81;
        QTest::newRow("undefined 0x8D") << 0x8D << 0x8D;
        QTest::newRow("undefined 0x8F") << 0x8F << 0x8F;
        QTest::newRow("undefined 0x90") << 0x90 << 0x90;
        QTest::newRow("undefined 0x9D") << 0x9D << 0x9D;
        QTest::newRow("S caron") << 0x8A << 0x160;
        QTest::newRow("Y diaeresis") << 0x9F << 0x178;
        QTest::newRow("n tilde") << 0xF1 << 0xF1;
        QTest::newRow("e acute") << 0xE9 << 0xE9;
        QTest::newRow("no-break space") << 0xA0 << 0xA0;
        QTest::newRow("star") << 0x2A << 0x2A;
    }
    void knownBytes()
    {
        QFETCH(int, byte);
        QFETCH(int, codePoint);
        QCOMPARE(int(cp1252::decode(std::uint8_t(byte))), codePoint);
        QCOMPARE(int(cp1252::encode(char32_t(codePoint)).value_or(0)), byte);
    }

    void unencodableIsReported_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("validUtf16");
        QTest::newRow("CJK") << u"12中"_s << true;
        QTest::newRow("emoji (surrogate pair)") << u"1\U0001F600"_s << true;
        QTest::newRow("lone surrogate") << QString(QChar(0xD800)) << false;
        QTest::newRow("Latin-1 C1 that 1252 lacks") << QString(QChar(0x80)) << true;
        QTest::newRow("Cyrillic") << u"Ж"_s << true;
    }
    void unencodableIsReported()
    {
        QFETCH(QString, text);
        QFETCH(bool, validUtf16);
        QVERIFY(!encode(text));
        QVERIFY(!buildRequest(text));
        if (validUtf16) // Qt's own UTF-8 conversion would replace a lone surrogate
            QVERIFY(!cp1252::fromUtf8(text.toStdString()));
    }

    void invalidUtf8IsRejected_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("lone continuation") << QByteArray("\x80");
        QTest::newRow("truncated sequence") << QByteArray("\xC3");
        QTest::newRow("overlong slash") << QByteArray("\xC0\xAF");
        QTest::newRow("encoded surrogate") << QByteArray("\xED\xA0\x80");
        QTest::newRow("past U+10FFFF") << QByteArray("\xF4\x90\x80\x80");
        QTest::newRow("bad lead") << QByteArray("\xFF");
    }
    void invalidUtf8IsRejected()
    {
        QFETCH(QByteArray, bytes);
        QVERIFY(!cp1252::fromUtf8(bytes.toStdString()));
    }

    void requestIsTheTextExactly_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("digits") << u"1234"_s << QByteArray("1234");
        QTest::newRow("spaces kept") << u" 12 "_s << QByteArray(" 12 ");
        QTest::newRow("accents as single bytes") << u"ñé€"_s << QByteArray("\xF1\xE9\x80");
        QTest::newRow("empty") << QString() << QByteArray();
        QTest::newRow("line end kept as typed") << u"1\r\n"_s << QByteArray("1\r\n");
    }
    void requestIsTheTextExactly()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, bytes);
        const auto request = buildRequest(text);
        QVERIFY(request);
        QCOMPARE(*request, bytes);
    }

    void split_data()
    {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<bool>("separated");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("telephone");
        QTest::newRow("letters star digits") << u"abc*123"_s << true << u"abc"_s << u"123"_s;
        QTest::newRow("two stars: the last separates") << u"a*b*c"_s << true << u"a*b"_s << u"c"_s;
        QTest::newRow("leading star") << u"*555"_s << true << QString() << u"555"_s;
        QTest::newRow("trailing star") << u"Ana*"_s << true << u"Ana"_s << QString();
        QTest::newRow("only a star") << u"*"_s << true << QString() << QString();
        QTest::newRow("no star") << u"Ana 555"_s << false << QString() << QString();
        QTest::newRow("empty") << QString() << false << QString() << QString();
        QTest::newRow("accented") << u"José Peña*44-12"_s << true << u"José Peña"_s << u"44-12"_s;
    }
    void split()
    {
        QFETCH(QString, reply);
        QFETCH(bool, separated);
        QFETCH(QString, name);
        QFETCH(QString, telephone);
        const Reply r = splitReply(reply);
        QCOMPARE(r.hasSeparator, separated);
        QCOMPARE(r.name, name);
        QCOMPARE(r.telephone, telephone);
        QCOMPARE(r.text, reply);
        QVERIFY(!r.truncated);
    }

    void replyLengthLimit_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<bool>("truncated");
        QTest::newRow("32766 kept whole") << 32766 << false;
        QTest::newRow("32767 cut") << 32767 << true;
        QTest::newRow("a megabyte cut") << (1 << 20) << true;
    }
    void replyLengthLimit()
    {
        QFETCH(int, length);
        QFETCH(bool, truncated);
        // The star sits just inside the limit; past it come more stars that
        // must not move the separator.
        QByteArray bytes(length, 'x');
        bytes[32764] = '*';
        for (int i = 32766; i < length; i += 7)
            bytes[i] = '*';
        const Reply r = parseReply(bytes);
        QCOMPARE(r.truncated, truncated);
        QCOMPARE(r.text.size(), qMin<qsizetype>(length, kMaxReplyLength));
        QVERIFY(r.hasSeparator);
        QCOMPARE(r.name.size(), 32764);
        QCOMPARE(r.telephone, u"x"_s);
    }

    void replyBytesDecodeAsWindows1252()
    {
        const Reply r = parseReply(QByteArray("Mu\xF1oz \x80*9"));
        QCOMPARE(r.name, u"Muñoz €"_s);
        QCOMPARE(r.telephone, u"9"_s);
    }
};

QTEST_GUILESS_MAIN(TestCodec)
#include "tst_codec.moc"
