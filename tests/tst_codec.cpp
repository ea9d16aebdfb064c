// Windows-1252 text and the request/reply rules, with no network.
#include "cp1252.h"
#include "protocol.h"

#include <QTest>

#if __has_include(<iconv.h>)
#include <iconv.h>
#define VELMARIO_HAVE_ICONV 1
#endif

#include <array>
#include <cstring>

using namespace Qt::StringLiterals;
using namespace velmario;
using namespace velmario::lookup;

namespace {

#ifdef VELMARIO_HAVE_ICONV
// glibc's own CP1252 converter, as an independent reference: one character
// from `from` to `to`, or nothing where it has no form.
class Iconv
{
public:
    Iconv(const char* to, const char* from) : m_cd(iconv_open(to, from)) {}
    ~Iconv()
    {
        if (valid())
            iconv_close(m_cd);
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;
    bool valid() const { return m_cd != reinterpret_cast<iconv_t>(-1); }

    QByteArray convert(QByteArray in)
    {
        std::array<char, 16> out{};
        char* inPtr = in.data();
        std::size_t inLeft = std::size_t(in.size());
        char* outPtr = out.data();
        std::size_t outLeft = out.size();
        iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
        if (iconv(m_cd, &inPtr, &inLeft, &outPtr, &outLeft) == std::size_t(-1))
            return {};
        return QByteArray(out.data(), qsizetype(out.size() - outLeft));
    }

private:
    iconv_t m_cd;
};

QByteArray utf32(char32_t c)
{
    QByteArray bytes(4, '\0');
    const std::uint32_t value = c;
    std::memcpy(bytes.data(), &value, 4);
    return bytes;
}
#endif

} // namespace

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

    // Every byte decodes, and every character of the Basic Multilingual
    // Plane encodes, exactly as glibc's CP1252 says. glibc leaves the five
    // undefined bytes without a character; we map them to the C1 control of
    // the same number, so that they round-trip.
    void agreesWithIconv()
    {
#ifndef VELMARIO_HAVE_ICONV
        QSKIP("no iconv in this C library (Windows): the Linux build checks this");
#else
        Iconv toUtf32("UTF-32LE", "CP1252");
        Iconv fromUtf32("CP1252", "UTF-32LE");
        if (!toUtf32.valid() || !fromUtf32.valid())
            QSKIP("this C library has no CP1252 converter");
        const auto undefined = [](unsigned b) { return b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 || b == 0x9D; };
        for (unsigned b = 0; b < 256; ++b) {
            const QByteArray reference = toUtf32.convert(QByteArray(1, char(b)));
            char32_t expected = b;
            if (reference.size() == 4)
                std::memcpy(&expected, reference.constData(), 4);
            else
                QVERIFY2(undefined(b), qPrintable(u"iconv has no character for byte %1"_s.arg(b, 2, 16)));
            QCOMPARE(std::uint32_t(cp1252::decode(std::uint8_t(b))), std::uint32_t(expected));
        }
        for (char32_t c = 0; c < 0x10000; ++c) {
            if (c >= 0xD800 && c <= 0xDFFF)
                continue;
            const QByteArray reference = fromUtf32.convert(utf32(c));
            const auto ours = cp1252::encode(c);
            if (c < 0x100 && undefined(unsigned(c))) {
                QCOMPARE(ours.value_or(0), std::uint8_t(c));
                continue;
            }
            if (reference.size() != (ours ? 1 : 0) || (ours && std::uint8_t(reference[0]) != *ours))
                QFAIL(qPrintable(u"U+%1: iconv gives %2, ours %3"_s.arg(std::uint32_t(c), 4, 16, QChar(u'0'))
                                     .arg(QString::fromLatin1(reference.toHex()))
                                     .arg(ours ? QString::number(*ours, 16) : u"nothing"_s)));
        }
#endif
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
        QTest::newRow("the limit kept whole") << int(kMaxReplyLength) << false;
        QTest::newRow("one past it cut") << int(kMaxReplyLength + 1) << true;
        QTest::newRow("a megabyte cut") << (1 << 20) << true;
    }
    void replyLengthLimit()
    {
        QFETCH(int, length);
        QFETCH(bool, truncated);
        // The star sits just inside the limit; past it come more stars that
        // must not move the separator.
        QByteArray bytes(length, 'x');
        bytes[kMaxReplyLength - 2] = '*';
        for (qsizetype i = kMaxReplyLength; i < length; i += 7)
            bytes[i] = '*';
        const Reply r = parseReply(bytes);
        QCOMPARE(r.truncated, truncated);
        QCOMPARE(r.text.size(), qMin<qsizetype>(length, kMaxReplyLength));
        QVERIFY(r.hasSeparator);
        QCOMPARE(r.name.size(), kMaxReplyLength - 2);
        QCOMPARE(r.telephone, u"x"_s);
    }

    // What arrives, in order: ">" sends a request, "|" separates arrivals.
    void replyGathersArrivals_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("telephone");
        QTest::addColumn<bool>("separated");
        QTest::newRow("one arrival") << u">|Ana*111"_s << u"Ana"_s << u"111"_s << true;
        QTest::newRow("name, then telephone")
            << u">|José Peña Ibáñez*|961-976-1527"_s << u"José Peña Ibáñez"_s << u"961-976-1527"_s << true;
        QTest::newRow("three pieces") << u">|Jo|sé*961-|976"_s << u"José"_s << u"961-976"_s << true;
        QTest::newRow("a star in a later piece moves the split")
            << u">|a*b|*c"_s << u"a*b"_s << u"c"_s << true;
        QTest::newRow("a new request starts a new reply") << u">|Ana*1|>|Eva*2"_s << u"Eva"_s << u"2"_s << true;
        QTest::newRow("two requests, two replies after both")
            << u">|>|Uno*1|Dos*2"_s << u"Dos"_s << u"2"_s << true;
        QTest::newRow("the last request's reply in pieces")
            << u">|>|Uno*1|Dos*|2"_s << u"Dos"_s << u"2"_s << true;
        QTest::newRow("a request answered with nothing yet") << u">|Ana*1|>"_s << u"Ana"_s << u"1"_s << true;
        QTest::newRow("bytes before any request") << u"Hola|*9"_s << u"Hola"_s << u"9"_s << true;
        QTest::newRow("pieces without a star") << u">|Ana |López"_s << QString() << QString() << false;
    }
    void replyGathersArrivals()
    {
        QFETCH(QString, script);
        QFETCH(QString, name);
        QFETCH(QString, telephone);
        QFETCH(bool, separated);
        ReplyBuffer buffer;
        for (const QString& step : script.split(u'|')) {
            if (step == u">"_s)
                buffer.requestSent();
            else
                QVERIFY(buffer.append(*encode(step)));
        }
        const Reply r = buffer.reply();
        QCOMPARE(r.hasSeparator, separated);
        QCOMPARE(r.name, name);
        QCOMPARE(r.telephone, telephone);
        QVERIFY(!r.truncated);
    }

    void replyBufferKeepsNothingPastTheLimit()
    {
        ReplyBuffer buffer;
        buffer.requestSent();
        // Up to the limit exactly, in two pieces: whole.
        QVERIFY(buffer.append(QByteArray(kMaxReplyLength - 3, 'x')));
        QVERIFY(buffer.append("*55"));
        QVERIFY(!buffer.reply().truncated);
        QCOMPARE(buffer.reply().telephone, u"55"_s);
        buffer.requestSent();
        const QByteArray piece(kMaxReplyLength / 2 + 1, 'x');
        QVERIFY(buffer.append(piece));
        QVERIFY(!buffer.reply().truncated);
        QVERIFY(buffer.append(piece)); // crosses the limit: now cut
        QCOMPARE(buffer.size(), kMaxReplyLength);
        QVERIFY(buffer.reply().truncated);
        QVERIFY(!buffer.append("*1")); // past it: dropped, nothing changes
        QCOMPARE(buffer.size(), kMaxReplyLength);
        QVERIFY(!buffer.reply().hasSeparator);
        // The next request's reply starts afresh.
        buffer.requestSent();
        QVERIFY(buffer.append("Eva*2"));
        QCOMPARE(buffer.reply().name, u"Eva"_s);
        QVERIFY(!buffer.reply().truncated);
        buffer.clear();
        QCOMPARE(buffer.size(), 0);
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
