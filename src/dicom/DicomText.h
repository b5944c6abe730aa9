#pragma once

#include <QString>

#include <memory>

class DcmElement;
class DcmItem;
class DcmSpecificCharacterSet;
class OFCharacterEncoding;

namespace dicom {

// Text of a value that declares no character set: UTF-8 when the bytes are well-formed UTF-8,
// Windows-1251 otherwise (Russian modalities write undeclared Windows-1251).
QString decodeDicomText(const char* bytes, qsizetype length);

// The one place that decides how the text values of a data set become Unicode. A declared character
// set other than the default repertoire (or UTF-8, which the rule above already reads) is converted
// by DCMTK, code extensions included (Japanese ones are read here, see DicomText.cpp); no
// declaration, the default repertoire and a set DCMTK cannot convert keep the rule above, and so
// does a declared value that does not convert, with its escape sequences taken out.
// A decoder and its copies may be used by one thread at a time.
class DicomTextDecoder
{
  public:
    DicomTextDecoder();                       // nothing declared
    explicit DicomTextDecoder(DcmItem& item); // the Specific Character Set of that item
    ~DicomTextDecoder();
    DicomTextDecoder(const DicomTextDecoder&);
    DicomTextDecoder& operator=(const DicomTextDecoder&);

    // The bytes of a value of `element` (as DCMTK gives them, values joined by backslashes).
    QString decode(const char* bytes, qsizetype length, const DcmElement& element) const;
    // The element's whole value as text; empty when it has none.
    QString valueText(DcmElement& element) const;

    // A set is declared that DCMTK cannot convert; its text is read by the undeclared rule.
    bool declaredSetUnconvertible() const { return m_unconvertible; }

  private:
    explicit DicomTextDecoder(const QString& specificCharacterSet);

    // Both null: the undeclared rule.
    std::shared_ptr<DcmSpecificCharacterSet> m_converter;
    std::shared_ptr<OFCharacterEncoding> m_japanese; // EUC-JP to UTF-8, for Japanese two-byte runs
    bool m_katakanaInG1 = false;
    bool m_unconvertible = false;
};

bool isAsciiText(const QString& text);

// Rewrites every text of the data set (nested items too) in UTF-8 as the decoder reads it, and
// declares ISO_IR 192. False, with nothing changed, when the data set declares a set that cannot be
// converted.
bool rewriteTextAsUtf8(DcmItem& dataset);

} // namespace dicom
