#include "dicom/DicomText.h"

#include "dicom/DicomItemLists.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcelem.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmdata/dcspchrs.h>
#include <dcmtk/ofstd/ofchrenc.h>

#include <QStringList>

namespace dicom {
namespace {

// Windows-1251 code points for the bytes 0x80..0xBF; 0xC0..0xFF are U+0410..U+044F in order.
constexpr char16_t kCp1251High[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039, 0x040A,
    0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0xFFFD, 0x2122,
    0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6,
    0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456,
    0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457};

bool isWellFormedUtf8(const unsigned char* bytes, qsizetype length)
{
    qsizetype i = 0;
    while (i < length) {
        const unsigned char b = bytes[i];
        qsizetype follow = 0;
        if (b < 0x80)
            follow = 0;
        else if ((b & 0xE0) == 0xC0)
            follow = 1;
        else if ((b & 0xF0) == 0xE0)
            follow = 2;
        else if ((b & 0xF8) == 0xF0)
            follow = 3;
        else
            return false;
        if (follow > length - i - 1)
            return false;
        for (qsizetype k = 1; k <= follow; ++k)
            if ((bytes[i + k] & 0xC0) != 0x80)
                return false;
        i += follow + 1;
    }
    return true;
}

bool isPlainAscii(const char* bytes, qsizetype length)
{
    for (qsizetype i = 0; i < length; ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b >= 0x80 || b == 0x1B) // ESC starts an ISO 2022 code extension
            return false;
    }
    return true;
}

// Sets that the undeclared rule reads exactly as DCMTK would convert them: the default repertoire,
// and UTF-8 (whose mislabelled Windows-1251 files the rule still reads).
bool readByUndeclaredRule(const QStringList& terms)
{
    if (terms.size() == 1 && terms.first() == QLatin1String("ISO_IR 192"))
        return true;
    for (const QString& term : terms)
        if (!term.isEmpty() && term != QLatin1String("ISO_IR 6") && term != QLatin1String("ISO 2022 IR 6"))
            return false;
    return true;
}

// Japanese code extensions (the first term may name JIS X 0201 for G0 and G1).
bool isJapaneseExtension(const QStringList& terms)
{
    if (terms.size() < 2)
        return false;
    for (qsizetype i = 0; i < terms.size(); ++i) {
        const QString& term = terms[i];
        const bool firstOnly = i == 0 && (term.isEmpty() || term == QLatin1String("ISO_IR 13"));
        if (!firstOnly && term != QLatin1String("ISO 2022 IR 6") && term != QLatin1String("ISO 2022 IR 13") &&
            term != QLatin1String("ISO 2022 IR 87") && term != QLatin1String("ISO 2022 IR 159"))
            return false;
    }
    return true;
}

// A Japanese value read element by element of its code: escape sequences switch G0 between ASCII or
// JIS X 0201 roman (read as ASCII: its backslash is the value delimiter) and the two-byte sets
// JIS X 0208 and JIS X 0212, whose runs the C library converts as EUC-JP; G1 holds JIS X 0201
// katakana (bytes 0xA1..0xDF, U+FF61..U+FF9F) when the first term names ISO 2022 IR 13 or an escape
// designates it. DCMTK asks the C library for JIS X 0208 on its own, which it lacks, and the whole
// value as ISO-2022-JP has no 8-bit katakana. Anything that does not convert becomes U+FFFD.
QString decodeJapanese(const unsigned char* bytes, qsizetype length, bool katakanaInG1,
                       OFCharacterEncoding& eucJp)
{
    enum class G0 { Ascii, JisX0208, JisX0212 };
    G0 g0 = G0::Ascii;
    bool g1Katakana = katakanaInG1;
    QString text;
    QByteArray run; // two-byte characters in EUC-JP, converted together
    const auto flush = [&] {
        if (run.isEmpty())
            return;
        OFString converted;
        if (eucJp.convertString(run.constData(), size_t(run.size()), converted).good())
            text += QString::fromUtf8(converted.c_str(), qsizetype(converted.length()));
        else
            text += QString(run.size() / 2, QChar(0xFFFD));
        run.clear();
    };
    qsizetype i = 0;
    while (i < length) {
        const unsigned char b = bytes[i];
        if (b == 0x1B) {
            flush();
            qsizetype end = i + 1; // intermediate bytes, then the final byte
            while (end < length && bytes[end] >= 0x20 && bytes[end] <= 0x2F)
                ++end;
            const QByteArray sequence(reinterpret_cast<const char*>(bytes) + i + 1,
                                      qMin(end + 1, length) - i - 1);
            if (sequence == "(B" || sequence == "(J")
                g0 = G0::Ascii;
            else if (sequence == "$B" || sequence == "$@")
                g0 = G0::JisX0208;
            else if (sequence == "$(D")
                g0 = G0::JisX0212;
            else if (sequence == ")I")
                g1Katakana = true;
            i = end + 1;
            continue;
        }
        if (g0 != G0::Ascii && b >= 0x21 && b <= 0x7E && i + 1 < length) {
            if (g0 == G0::JisX0212)
                run += char(0x8F);
            run += char(b | 0x80);
            run += char(bytes[i + 1] | 0x80);
            i += 2;
            continue;
        }
        flush();
        if (b < 0x80)
            text += QChar(b);
        else if (g1Katakana && b >= 0xA1 && b <= 0xDF)
            text += QChar(char16_t(0xFF61 + (b - 0xA1)));
        else
            text += QChar(0xFFFD);
        ++i;
    }
    flush();
    return text;
}

// The value without its ISO 2022 escape sequences (ESC, intermediate bytes, a final byte): what is
// left of a declared value that did not convert must not show raw escapes.
QByteArray withoutEscapeSequences(const char* bytes, qsizetype length)
{
    QByteArray out;
    out.reserve(length);
    for (qsizetype i = 0; i < length; ++i) {
        if (bytes[i] != 0x1B) {
            out += bytes[i];
            continue;
        }
        while (i + 1 < length && bytes[i + 1] >= 0x20 && bytes[i + 1] <= 0x2F)
            ++i;
        ++i; // the final byte
    }
    return out;
}

// Where ISO 2022 code extensions switch back to the default set, as DCMTK converts a whole data set:
// between values, and in names also between components and component groups.
const char* delimitersFor(DcmEVR vr)
{
    switch (vr) {
    case EVR_PN:
        return "\\^=";
    case EVR_SH:
    case EVR_LO:
    case EVR_UC:
        return "\\";
    case EVR_ST:
    case EVR_LT:
    case EVR_UT:
        return "";
    default:
        return nullptr; // not text in a specific character set
    }
}

// Every text is rewritten in UTF-8 as the decoder reads it, so that every reader sees what it saw
// before. An item that declares its own character set is read by its own decoder.
void rewriteItemAsUtf8(DcmItem& item, const DicomTextDecoder& inherited)
{
    const bool ownSet = item.tagExists(DCM_SpecificCharacterSet, OFFalse);
    const DicomTextDecoder own = ownSet ? DicomTextDecoder(item) : inherited;
    for (DcmElement* element : elementsOf(item)) {
        if (element->ident() == EVR_SQ) {
            for (DcmItem* child : itemsOf(*static_cast<DcmSequenceOfItems*>(element)))
                rewriteItemAsUtf8(*child, own);
            continue;
        }
        if (!element->isAffectedBySpecificCharacterSet())
            continue;
        OFString raw;
        if (element->getOFStringArray(raw, OFFalse).bad())
            continue;
        if (isPlainAscii(raw.c_str(), qsizetype(raw.length())))
            continue;
        const QByteArray utf8 = own.decode(raw.c_str(), qsizetype(raw.length()), *element).toUtf8();
        element->putOFStringArray(OFString(utf8.constData(), size_t(utf8.size())));
    }
    if (ownSet)
        item.putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 192");
}

} // namespace

QString decodeDicomText(const char* bytes, qsizetype length)
{
    if (!bytes || length <= 0)
        return QString();
    const auto* u = reinterpret_cast<const unsigned char*>(bytes);
    if (isWellFormedUtf8(u, length))
        return QString::fromUtf8(bytes, length);
    QString text;
    text.reserve(length);
    for (qsizetype i = 0; i < length; ++i) {
        const unsigned char b = u[i];
        if (b < 0x80)
            text.append(QChar(b));
        else if (b >= 0xC0)
            text.append(QChar(char16_t(0x0410 + (b - 0xC0))));
        else
            text.append(QChar(kCp1251High[b - 0x80]));
    }
    return text;
}

DicomTextDecoder::DicomTextDecoder() = default;
DicomTextDecoder::~DicomTextDecoder() = default;
DicomTextDecoder::DicomTextDecoder(const DicomTextDecoder&) = default;
DicomTextDecoder& DicomTextDecoder::operator=(const DicomTextDecoder&) = default;

DicomTextDecoder::DicomTextDecoder(DcmItem& item)
{
    DcmElement* element = nullptr;
    // Most files declare nothing: no text to fetch then.
    if (item.findAndGetElement(DCM_SpecificCharacterSet, element, OFFalse).bad() || !element)
        return;
    OFString declared;
    if (element->getLength() > 1024 || element->getOFStringArray(declared).bad())
        return;
    // The common declaration needs no further look (the import reads thousands of files a second).
    if (declared == "ISO_IR 192")
        return;
    *this = DicomTextDecoder(QString::fromLatin1(declared.c_str(), qsizetype(declared.length())));
}

DicomTextDecoder::DicomTextDecoder(const QString& specificCharacterSet)
{
    QStringList terms = specificCharacterSet.split(QLatin1Char('\\'));
    for (QString& term : terms)
        term = term.trimmed();
    // One ISO 2022 term names the same repertoire as its ISO_IR twin, with escapes allowed. DCMTK
    // knows it only among code extensions: with the default repertoire beside it, the term stays the
    // set in effect at the start of every value.
    if (terms.size() == 1 && terms.first().startsWith(QLatin1String("ISO 2022 IR ")))
        terms.append(QStringLiteral("ISO 2022 IR 6"));
    if (readByUndeclaredRule(terms))
        return;
    if (isJapaneseExtension(terms)) {
        auto japanese = std::make_shared<OFCharacterEncoding>();
        if (japanese->selectEncoding("EUC-JP", "UTF-8").good()) {
            m_japanese = std::move(japanese);
            m_katakanaInG1 = terms.first() == QLatin1String("ISO 2022 IR 13") ||
                             terms.first() == QLatin1String("ISO_IR 13");
            return;
        }
    }
    auto converter = std::make_shared<DcmSpecificCharacterSet>();
    const QByteArray latin = terms.join(QLatin1Char('\\')).toLatin1();
    if (converter->selectCharacterSet(OFString(latin.constData(), size_t(latin.size()))).good())
        m_converter = std::move(converter);
    else
        m_unconvertible = true;
}

QString DicomTextDecoder::decode(const char* bytes, qsizetype length, const DcmElement& element) const
{
    if (!bytes || length <= 0)
        return QString();
    const char* delimiters = m_converter || m_japanese ? delimitersFor(element.ident()) : nullptr;
    if (!delimiters || isPlainAscii(bytes, length))
        return decodeDicomText(bytes, length);
    if (m_japanese)
        return decodeJapanese(reinterpret_cast<const unsigned char*>(bytes), length, m_katakanaInG1,
                              *m_japanese);
    OFString converted;
    if (m_converter->convertString(bytes, size_t(length), converted, OFString(delimiters)).bad()) {
        const QByteArray rest = withoutEscapeSequences(bytes, length);
        return decodeDicomText(rest.constData(), rest.size());
    }
    return QString::fromUtf8(converted.c_str(), qsizetype(converted.length()));
}

QString DicomTextDecoder::valueText(DcmElement& element) const
{
    OFString value;
    if (element.getOFStringArray(value).bad())
        return QString();
    return decode(value.c_str(), qsizetype(value.length()), element);
}

bool isAsciiText(const QString& text)
{
    for (QChar c : text)
        if (c.unicode() >= 0x80)
            return false;
    return true;
}

bool rewriteTextAsUtf8(DcmItem& dataset)
{
    const DicomTextDecoder decoder(dataset);
    if (decoder.declaredSetUnconvertible())
        return false;
    rewriteItemAsUtf8(dataset, decoder);
    return dataset.putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 192").good();
}

} // namespace dicom
