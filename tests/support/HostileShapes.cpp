#include "support/HostileShapes.h"

#include "support/DicomFixtures.h"

#include <QFile>
#include <QList>
#include <QtEndian>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <zlib.h>

#include <stdexcept>
#include <vector>

namespace fixtures {
namespace {

QByteArray le16(quint16 value)
{
    QByteArray bytes(2, '\0');
    qToLittleEndian<quint16>(value, bytes.data());
    return bytes;
}

QByteArray le32(quint32 value)
{
    QByteArray bytes(4, '\0');
    qToLittleEndian<quint32>(value, bytes.data());
    return bytes;
}

QByteArray implicitHeader(quint16 group, quint16 element, quint32 length)
{
    return le16(group) + le16(element) + le32(length);
}

// An explicit VR header with a 32-bit length (SQ, OB, UN and the like, or a VR of one's own making).
QByteArray explicitLongHeader(quint16 group, quint16 element, const QByteArray& vr, quint32 length)
{
    return le16(group) + le16(element) + vr + QByteArray(2, '\0') + le32(length);
}

QByteArray explicitShortHeader(quint16 group, quint16 element, const QByteArray& vr, quint16 length)
{
    return le16(group) + le16(element) + vr + le16(length);
}

const quint32 kUndefined = 0xFFFFFFFFu;
const QByteArray kItem = implicitHeader(0xFFFE, 0xE000, kUndefined);
// The closing of one level of undefined length: item delimiter, sequence delimiter.
const QByteArray kClose = implicitHeader(0xFFFE, 0xE00D, 0) + implicitHeader(0xFFFE, 0xE0DD, 0);

QByteArray closes(int depth)
{
    return kClose.repeated(depth);
}

// `levels` sequences of undefined length in implicit VR (where DCMTK reads any element of undefined
// length as a sequence), each holding one item that holds the next; not closed.
QByteArray implicitLevels(int levels, quint16 group = 0xFFFA, quint16 element = 0xFFFA)
{
    return (implicitHeader(group, element, kUndefined) + kItem).repeated(levels);
}

// The same in explicit VR, every level the given tag written as SQ; closed.
QByteArray explicitNest(int depth, quint16 group, quint16 element)
{
    return (explicitLongHeader(group, element, "SQ", kUndefined) + kItem).repeated(depth) + closes(depth);
}

QByteArray readWhole(const QString& path)
{
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly))
        throw std::runtime_error("fixtures: cannot read " + path.toStdString());
    return in.readAll();
}

qsizetype metaEndOf(const QByteArray& file)
{
    return 144 + qsizetype(qFromLittleEndian<quint32>(file.constData() + 140));
}

// An 8 x 8 image as DCMTK writes it in `syntax`: preamble and meta header, and the data set.
struct ImageParts
{
    QByteArray meta;
    QByteArray dataset;
};

ImageParts imageParts(const QString& scratch, E_TransferSyntax syntax, bool withPixels)
{
    SeriesLayout layout;
    layout.slices = 1;
    layout.rows = layout.columns = 8;
    if (!withPixels)
        layout.customize = [](DcmDataset& ds, int) { ds.findAndDeleteElement(DCM_PixelData); };
    const QString plain = scratch + QStringLiteral(".image");
    writeSlice(plain, layout, 0);
    if (syntax != EXS_LittleEndianExplicit) {
        DcmFileFormat file;
        const QByteArray local = QFile::encodeName(plain);
        if (file.loadFile(local.constData()).bad() || file.loadAllDataIntoMemory().bad() ||
            file.saveFile(local.constData(), syntax).bad())
            throw std::runtime_error("fixtures: cannot write " + plain.toStdString());
    }
    const QByteArray bytes = readWhole(plain);
    QFile::remove(plain);
    const qsizetype end = metaEndOf(bytes);
    return {bytes.left(end), bytes.mid(end)};
}

// Raw deflate, as a deflated data set follows its meta header.
QByteArray deflated(const QByteArray& bytes)
{
    z_stream stream{};
    if (deflateInit2(&stream, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("fixtures: zlib");
    QByteArray out(qsizetype(deflateBound(&stream, uLong(bytes.size()))), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.constData()));
    stream.avail_in = uInt(bytes.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = uInt(out.size());
    const int status = deflate(&stream, Z_FINISH);
    out.truncate(qsizetype(stream.total_out));
    deflateEnd(&stream);
    if (status != Z_STREAM_END)
        throw std::runtime_error("fixtures: zlib");
    return out;
}

QByteArray element(const QByteArray& header, const QByteArray& value)
{
    return header + value;
}

// Group length, version, SOP class and instance of a meta header, then `rest`, in explicit VR.
QByteArray metaHeader(const QByteArray& rest)
{
    QByteArray elements = element(explicitLongHeader(0x0002, 0x0001, "OB", 2), QByteArray("\x00\x01", 2)) +
                          element(explicitShortHeader(0x0002, 0x0002, "UI", 26), QByteArray("1.2.840.10008.5.1.4.1.1.2\0", 26)) +
                          element(explicitShortHeader(0x0002, 0x0003, "UI", 10), QByteArray("1.2.3.4.5\0", 10)) + rest;
    return element(explicitShortHeader(0x0002, 0x0000, "UL", 4), le32(quint32(elements.size()))) + elements;
}

const QByteArray kDeflatedUid("1.2.840.10008.1.2.1.99", 22);

// The meta header naming the deflated syntax only in the item of a sequence (0002,0005).
QByteArray metaWithDeflateInSequence()
{
    const QByteArray item = element(explicitShortHeader(0x0002, 0x0010, "UI", 22), kDeflatedUid);
    return QByteArray(128, '\0') + "DICM" +
           metaHeader(explicitLongHeader(0x0002, 0x0005, "SQ", quint32(8 + item.size())) +
                      implicitHeader(0xFFFE, 0xE000, quint32(item.size())) + item);
}

// A meta header naming the deflated syntax, without the preamble.
QByteArray deflatedMetaWithoutPreamble()
{
    return metaHeader(element(explicitShortHeader(0x0002, 0x0010, "UI", 22), kDeflatedUid));
}

// The meta header DCMTK wrote, its transfer syntax element left out or naming `uid`.
QByteArray relabelledMeta(const QByteArray& meta, const QByteArray& uid)
{
    const qsizetype at = meta.indexOf(QByteArray("\x02\x00\x10\x00UI", 6), 132);
    if (at < 0)
        throw std::runtime_error("fixtures: no transfer syntax in the meta header");
    const quint16 oldLength = qFromLittleEndian<quint16>(meta.constData() + at + 6);
    QByteArray replacement;
    if (!uid.isEmpty())
        replacement = element(explicitShortHeader(0x0002, 0x0010, "UI", quint16(uid.size())), uid);
    QByteArray out = meta;
    out.replace(at, 8 + oldLength, replacement);
    qToLittleEndian<quint32>(quint32(out.size() - 144), out.data() + 140);
    return out;
}

// Where a private block of group 0009 goes in an implicit VR data set DCMTK wrote: before the first
// element of a later group (DCMTK writes every length).
qsizetype afterGroup0008(const QByteArray& dataset)
{
    qsizetype at = 0;
    while (at + 8 <= dataset.size() && qFromLittleEndian<quint16>(dataset.constData() + at) <= 0x0009)
        at += 8 + qsizetype(qFromLittleEndian<quint32>(dataset.constData() + at + 4));
    return at;
}

// A private sequence (0009,xx00) of creator "DCMTK_ANONYMIZER" in implicit VR, every length defined:
// `depth` levels, the creator in every item, `innermost` in the last.
QByteArray privateSequence(int depth, const QByteArray& innermost)
{
    const QByteArray creator = element(implicitHeader(0x0009, 0x0010, 16), "DCMTK_ANONYMIZER");
    std::vector<quint32> sequenceLength(size_t(qMax(depth, 1)));
    sequenceLength.back() = quint32(8 + creator.size() + innermost.size());
    for (int level = depth - 2; level >= 0; --level)
        sequenceLength[size_t(level)] = quint32(8 + creator.size() + 8) + sequenceLength[size_t(level) + 1];
    QByteArray out = creator;
    out.reserve(qsizetype(depth) * 40 + innermost.size() + 64);
    for (int level = 0; level < depth; ++level) {
        const quint32 length = sequenceLength[size_t(level)];
        out += implicitHeader(0x0009, 0x1000, length) + implicitHeader(0xFFFE, 0xE000, length - 8) + creator;
    }
    return out + innermost;
}

QByteArray descendingEmptyElements(int count)
{
    QByteArray out;
    out.reserve(qsizetype(count) * 8);
    for (int i = count - 1; i >= 0; --i)
        out += implicitHeader(quint16(0x9000 + 2 * (i / 0xFFF0)), quint16(0x0010 + i % 0xFFF0), 0);
    return out;
}

// Where an element of `tag` goes in an explicit VR little endian data set DCMTK wrote with defined
// lengths: before the first element of a greater tag.
qsizetype explicitPlaceOf(const QByteArray& dataset, quint32 tag)
{
    static const QList<QByteArray> longForms{"OB", "OD", "OF", "OL", "OV", "OW", "SQ",
                                             "SV", "UC", "UN", "UR", "UT", "UV"};
    qsizetype at = 0;
    while (at + 8 <= dataset.size()) {
        const quint32 here = quint32(qFromLittleEndian<quint16>(dataset.constData() + at)) << 16 |
                             qFromLittleEndian<quint16>(dataset.constData() + at + 2);
        if (here > tag)
            return at;
        const bool longForm = longForms.contains(dataset.mid(at + 4, 2));
        const quint32 length = longForm ? qFromLittleEndian<quint32>(dataset.constData() + at + 8)
                                        : qFromLittleEndian<quint16>(dataset.constData() + at + 6);
        if (length == kUndefined)
            throw std::runtime_error("fixtures: undefined length in the image");
        at += (longForm ? 12 : 8) + qsizetype(length);
    }
    return at;
}

QByteArray withUnknownVrsOnDictionarySequences(QByteArray dataset)
{
    const struct
    {
        quint16 element;
        QByteArray vr;
    } shortForms[] = {{0x1110, QByteArray(2, '\0')}, {0x1115, QByteArray("\x01\x08", 2)}, {0x1140, "=S"}};
    for (const auto& form : shortForms)
        dataset.insert(explicitPlaceOf(dataset, 0x00080000u | form.element),
                       element(explicitShortHeader(0x0008, form.element, form.vr, 4), "REF1"));
    dataset.insert(explicitPlaceOf(dataset, 0x00082112u),
                   element(explicitLongHeader(0x0008, 0x2112, "QQ", 6), "REF2:x"));
    return dataset;
}

QString writeImplicitWithPrivateBlock(const QString& path, const QByteArray& block)
{
    ImageParts image = imageParts(path, EXS_LittleEndianImplicit, true);
    image.dataset.insert(afterGroup0008(image.dataset), block);
    writeBytes(path, image.meta + image.dataset);
    return path;
}

// What a hostile shape puts after an image's data set (or in place of its pixels), in explicit VR.
QByteArray explicitHostilePart(HostileShape shape, int depth)
{
    switch (shape) {
    case HostileShape::UnknownVrSequence:
    case HostileShape::UnknownVrPixelData: {
        const quint16 group = shape == HostileShape::UnknownVrPixelData ? 0x7FE0 : 0xFFFA;
        const quint16 elementNumber = shape == HostileShape::UnknownVrPixelData ? 0x0010 : 0xFFFA;
        // What DCMTK makes a sequence holds implicit VR, as UN does; the levels inside are of a tag no
        // dictionary calls a sequence, whose bytes read as explicit VR would skip most of them.
        return explicitLongHeader(group, elementNumber, "QQ", kUndefined) + kItem +
               implicitLevels(depth - 1, 0x0009, 0x1000) + closes(depth);
    }
    case HostileShape::ItemGroupSequence:
        return explicitNest(depth, 0xFFFE, 0xF000);
    case HostileShape::NonLetterVr: {
        // An item whose element claims almost 4 GB: a reader that takes the value for a sequence
        // meets a length past the end; DCMTK keeps the 20 bytes and reads on.
        const QByteArray value = implicitHeader(0xFFFE, 0xE000, 12) + explicitLongHeader(0x0008, 0x0005, "OB", 0xFFFFFFF0u);
        return explicitShortHeader(0xFFFA, 0xFFFA, QByteArray("\x01\x02", 2), quint16(value.size())) + value +
               explicitNest(depth, 0xFFFC, 0xFFFC);
    }
    default:
        return explicitNest(depth, 0xFFFA, 0xFFFA);
    }
}

} // namespace

bool hostileShapeHasPixels(HostileShape shape)
{
    return shape != HostileShape::UnknownVrPixelData;
}

bool hostileShapeHasPreamble(HostileShape shape)
{
    return shape != HostileShape::DeflatedWithoutPreamble;
}

QString writeHostileShape(const QString& path, HostileShape shape, int depth)
{
    switch (shape) {
    case HostileShape::PrivateSequence:
        return writeImplicitWithPrivateBlock(path, privateSequence(depth, {}));
    case HostileShape::NoTransferSyntax:
    case HostileShape::UnknownTransferSyntax: {
        const ImageParts image = imageParts(path, EXS_LittleEndianImplicit, true);
        // "PQ" where an explicit VR would be: a length of 20,816 bytes in implicit VR.
        const QByteArray first = element(implicitHeader(0x0009, 0x1001, 0x5150), QByteArray(0x5150, ' '));
        if (first.mid(4, 2) != "PQ")
            throw std::runtime_error("fixtures: first element");
        const QByteArray meta = relabelledMeta(image.meta, shape == HostileShape::NoTransferSyntax ? QByteArray()
                                                                                                     : QByteArray("1.2.3.4.5.6", 12));
        writeBytes(path, meta + first + image.dataset + implicitLevels(depth) + closes(depth));
        return path;
    }
    case HostileShape::DeflateInMetaSequence:
    case HostileShape::DeflatedWithoutPreamble: {
        const QByteArray dataset = imageParts(path, EXS_LittleEndianExplicit, true).dataset + explicitNest(depth, 0xFFFA, 0xFFFA);
        const QByteArray meta =
            shape == HostileShape::DeflateInMetaSequence ? metaWithDeflateInSequence() : deflatedMetaWithoutPreamble();
        writeBytes(path, meta + deflated(dataset));
        return path;
    }
    case HostileShape::UnknownVrsOnDictionarySequences: {
        const ImageParts image = imageParts(path, EXS_LittleEndianExplicit, true);
        writeBytes(path, image.meta + withUnknownVrsOnDictionarySequences(image.dataset) +
                             explicitNest(depth, 0xFFFA, 0xFFFA));
        return path;
    }
    default: {
        const ImageParts image = imageParts(path, EXS_LittleEndianExplicit, hostileShapeHasPixels(shape));
        writeBytes(path, image.meta + image.dataset + explicitHostilePart(shape, depth));
        return path;
    }
    }
}

bool hostileShapeAnswerIsImplicit(HostileShape shape)
{
    return shape == HostileShape::PrivateSequence;
}

QByteArray hostileShapeAnswer(HostileShape shape, int depth)
{
    if (shape == HostileShape::PrivateSequence)
        return privateSequence(depth, {});
    return explicitHostilePart(shape, depth);
}

QString writeElementsInPrivateSequence(const QString& path, int count)
{
    return writeImplicitWithPrivateBlock(path, elementsInPrivateSequenceAnswer(count));
}

QByteArray elementsInPrivateSequenceAnswer(int count)
{
    return privateSequence(1, descendingEmptyElements(count));
}

QString writeLongMetaElement(const QString& path, quint32 bytes)
{
    const QByteArray syntax("1.2.840.10008.1.2.1", 20);
    const QByteArray meta = metaHeader(
        element(explicitShortHeader(0x0002, 0x0010, "UI", quint16(syntax.size())), syntax) +
        element(explicitShortHeader(0x0002, 0x0100, "UI", 10), QByteArray("1.2.3.4.5\0", 10)) +
        element(explicitLongHeader(0x0002, 0x0102, "OB", bytes), QByteArray(qsizetype(bytes), 'x')));
    writeBytes(path, QByteArray(128, '\0') + "DICM" + meta +
                         imageParts(path, EXS_LittleEndianExplicit, true).dataset);
    return path;
}

QString writeLengthPastEnd(const QString& path, LengthPastEnd where)
{
    const quint32 claimed = 0xC0000000u;
    QByteArray bytes;
    if (where == LengthPastEnd::BareMetaHeader) {
        bytes = element(explicitShortHeader(0x0002, 0x0000, "UL", 4), le32(54)) +
                explicitLongHeader(0x0002, 0x0001, "OB", claimed);
        bytes += QByteArray(66 - bytes.size(), '\0');
    } else {
        const ImageParts image = imageParts(path, EXS_LittleEndianExplicit, true);
        if (where == LengthPastEnd::MetaHeaderOfImage) {
            const QByteArray syntax("1.2.840.10008.1.2.1", 20);
            bytes = QByteArray(128, '\0') + "DICM" +
                    metaHeader(
                        element(explicitShortHeader(0x0002, 0x0010, "UI", quint16(syntax.size())), syntax) +
                        explicitLongHeader(0x0002, 0x0102, "OB", claimed)) +
                    image.dataset;
        } else {
            bytes = image.meta + image.dataset + explicitLongHeader(0x7FE1, 0x1010, "OB", claimed) +
                    QByteArray(16, 'x');
        }
    }
    writeBytes(path, bytes);
    return path;
}

QString writeHostileShapeOverGigabyte(const QString& path, HostileShape shape)
{
    // DCMTK's deflated file of a gigabyte of zero pixels, its meta header replaced.
    const QByteArray file = readWhole(writeDeflatedZeros(path, 32768, 32768));
    const QByteArray meta =
        shape == HostileShape::DeflateInMetaSequence ? metaWithDeflateInSequence() : deflatedMetaWithoutPreamble();
    writeBytes(path, meta + file.mid(metaEndOf(file)));
    return path;
}

} // namespace fixtures
