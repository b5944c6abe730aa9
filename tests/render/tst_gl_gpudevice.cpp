#include "platform/GlOffscreenContext.h"
#include "render/GpuCropMaskTexture.h"
#include "render/GpuDevice.h"
#include "render/GpuLineRenderer.h"
#include "render/GpuMipRenderer.h"
#include "render/GpuShaderProgram.h"
#include "render/GpuSliceRenderer.h"
#include "render/GpuTransferFunctionTexture.h"
#include "render/GpuVolumeTexture.h"
#include "render/GpuVrtRenderer.h"

#include <QOpenGLFunctions_3_3_Core>
#include <QtTest>

#include <cmath>

using namespace render;

namespace {

Volume volumeOf(int nx, int ny, int nz, float value)
{
    Volume v;
    v.nx = nx;
    v.ny = ny;
    v.nz = nz;
    v.voxels.assign(size_t(nx) * ny * nz, value);
    return v;
}

const TransferFunctionPreset& preset(const QString& name)
{
    for (const auto& p : transferFunctionPresets())
        if (p.name == name)
            return p;
    static TransferFunctionPreset none;
    return none;
}

// Offsets and block sizes the shaders must share with the parameter blocks written by the renderers.
struct Member
{
    const char* name;
    int offset;
};

QList<Member> cropMembers(int base)
{
    QList<Member> out;
    static const QByteArray names[] = {"CropDir", "CropRight", "CropUp", "CropHalfExtentMm", "CropPanU", "CropPanV"};
    static const int at[] = {0, 16, 32, 48, 52, 56};
    static QList<QByteArray> keep; // names must outlive the rows
    for (int k = 0; k < 6; ++k)
        for (int i = 0; i < 6; ++i) {
            keep.append(names[i] + QByteArray::number(k));
            out.append({keep.last().constData(), base + 64 * k + at[i]});
        }
    return out;
}

} // namespace

class TestGpuDevice : public QObject
{
    Q_OBJECT

private:
    GpuDevice m_device;
    GpuSliceRenderer m_slice;
    GpuMipRenderer m_mip;
    GpuVrtRenderer m_vrt;

    QOpenGLFunctions_3_3_Core* gl() { return m_device.makeCurrent(); }

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(m_device.initialize(64, 64, &error), qPrintable(error));
        QVERIFY(error.isEmpty());
        const QSurfaceFormat format = m_device.context()->format();
        QVERIFY(format.version() >= qMakePair(3, 3));
        QVERIFY(m_device.maxVolumeSide() <= 2048 && m_device.maxVolumeSide() > 0);
    }

    void frameIsCentredSquare_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<QRect>("square");
        QTest::newRow("800x600") << 800 << 600 << QRect(100, 0, 600, 600);
        QTest::newRow("600x800") << 600 << 800 << QRect(0, 100, 600, 600);
        QTest::newRow("odd difference rounds down") << 801 << 600 << QRect(100, 0, 600, 600);
        QTest::newRow("square") << 64 << 64 << QRect(0, 0, 64, 64);
    }
    void frameIsCentredSquare()
    {
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(QRect, square);
        QCOMPARE(GpuDevice::squareViewport(width, height), square);

        // A white slice fills exactly the square of a real frame; the rest keeps the clear colour.
        GpuDevice device;
        QString error;
        QVERIFY2(device.initialize(width, height, &error), qPrintable(error));
        GpuVolumeTexture volume;
        QVERIFY(volume.upload(&device, volumeOf(1, 1, 1, 1000.f), &error));
        GpuSliceRenderer slice;
        QVERIFY2(slice.initialize(&device, &error), qPrintable(error));
        device.beginFrame(0.f, 0.f, 1.f, 1.f);
        slice.draw(&device, volume.texture(), 0.5f, 500.f, 100.f);
        const QImage frame = device.present();
        QCOMPARE(frame.size(), QSize(width, height));
        for (int y = 0; y < height; y += 7)
            for (int x = 0; x < width; x += 7) {
                const QRgb expected = square.contains(x, y) ? qRgb(255, 255, 255) : qRgb(0, 0, 255);
                if (frame.pixel(x, y) != expected)
                    QFAIL(qPrintable(QStringLiteral("pixel %1,%2 is %3").arg(x).arg(y).arg(frame.pixel(x, y), 0, 16)));
            }
        QCOMPARE(frame.pixel(square.left(), square.top()), qRgb(255, 255, 255));
        QCOMPARE(frame.pixel(square.right(), square.bottom()), qRgb(255, 255, 255));
    }

    void clearAndPresentAndResize()
    {
        GpuDevice device;
        QVERIFY(device.present().isNull());
        device.resize(10, 10); // empty device: nothing happens
        QVERIFY(!device.isInitialized());
        QVERIFY(device.initialize(40, 30, nullptr));
        QImage frame = device.clearAndPresent(0.05f, 0.1f, 0.25f, 1.f);
        QCOMPARE(frame.size(), QSize(40, 30));
        QCOMPARE(frame.pixel(0, 0), qRgb(13, 26, 64));

        device.resize(40, 30);
        device.resize(0, 50);
        device.resize(50, -1);
        QCOMPARE(QSize(device.width(), device.height()), QSize(40, 30));
        device.resize(120, 70);
        QVERIFY(device.isInitialized());
        frame = device.clearAndPresent(1.f, 0.f, 0.f, 1.f);
        QCOMPARE(frame.size(), QSize(120, 70));
        QCOMPARE(frame.pixel(119, 69), qRgb(255, 0, 0));
    }

    void failedFrameLeavesDeviceEmpty_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<QString>("message");
        QTest::newRow("no pixels") << 0 << 0 << "Не удалось создать framebuffer object (0x00008cd6).";
        QTest::newRow("beyond the renderbuffer limit")
            << 1000000 << 8 << "Не удалось создать renderbuffer кадра (0x00000501).";
    }
    void failedFrameLeavesDeviceEmpty()
    {
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(QString, message);
        GpuDevice device;
        QString error;
        QVERIFY(!device.initialize(width, height, &error));
        QCOMPARE(error, message);
        QVERIFY(!device.isInitialized());
        QVERIFY(!device.context());
        QVERIFY(device.present().isNull());
        GpuVolumeTexture volume;
        QVERIFY(!volume.upload(&device, volumeOf(2, 2, 2, 1.f), &error));
    }

    void volumeUploadReadsBack()
    {
        Volume v = volumeOf(5, 3, 2, 0.f);
        for (size_t i = 0; i < v.voxels.size(); ++i)
            v.voxels[i] = float(i) * 1.5f - 1000.f;
        GpuVolumeTexture texture;
        QString error;
        QVERIFY2(texture.upload(&m_device, v, &error), qPrintable(error));
        QCOMPARE(texture.nx(), 5);
        QCOMPARE(texture.ny(), 3);
        QCOMPARE(texture.nz(), 2);
        auto* f = gl();
        std::vector<float> back(v.voxels.size(), -1.f);
        f->glBindTexture(GL_TEXTURE_3D, texture.texture());
        f->glPixelStorei(GL_PACK_ALIGNMENT, 4);
        f->glGetTexImage(GL_TEXTURE_3D, 0, GL_RED, GL_FLOAT, back.data());
        GLint maxLevel = -1;
        f->glGetTexParameteriv(GL_TEXTURE_3D, GL_TEXTURE_MAX_LEVEL, &maxLevel);
        f->glBindTexture(GL_TEXTURE_3D, 0);
        QCOMPARE(maxLevel, 0);
        QVERIFY(back == v.voxels);
    }

    void volumeSizeLimits_data()
    {
        QTest::addColumn<int>("nx");
        QTest::addColumn<int>("ny");
        QTest::addColumn<int>("nz");
        QTest::addColumn<QString>("message");
        QTest::newRow("2048 accepted") << 2048 << 2048 << 1 << QString();
        QTest::newRow("2049 refused") << 2049 << 1 << 1
                                      << "Объём 2049×1×1 превышает максимальный размер 3D-текстуры OpenGL (2048 по "
                                         "каждой стороне).";
        QTest::newRow("depth 2049 refused") << 1 << 1 << 2049
                                            << "Объём 1×1×2049 превышает максимальный размер 3D-текстуры OpenGL "
                                               "(2048 по каждой стороне).";
        QTest::newRow("empty") << 0 << 4 << 4 << "Объём пуст или контекст OpenGL не готов.";
    }
    void volumeSizeLimits()
    {
        QFETCH(int, nx);
        QFETCH(int, ny);
        QFETCH(int, nz);
        QFETCH(QString, message);
        if (m_device.maxVolumeSide() < 2048)
            QSKIP("this driver's 3D textures are smaller than 2048");
        GpuVolumeTexture texture;
        QVERIFY(texture.upload(&m_device, volumeOf(3, 3, 3, 1.f), nullptr));
        Volume v = volumeOf(std::max(nx, 0), ny, nz, 7.f);
        v.nx = nx;
        QString error;
        QCOMPARE(texture.upload(&m_device, v, &error), message.isEmpty());
        QCOMPARE(error, message);
        // A refused upload leaves the object empty, not holding the earlier volume.
        QCOMPARE(texture.texture() != 0, message.isEmpty());
        QCOMPARE(texture.nx(), message.isEmpty() ? nx : 0);
    }

    void volumeWithMissingVoxelsRefused()
    {
        Volume v = volumeOf(4, 4, 4, 1.f);
        v.voxels.resize(60);
        GpuVolumeTexture texture;
        QString error;
        QVERIFY(!texture.upload(&m_device, v, &error));
        QCOMPARE(error, QStringLiteral("Данные объёма 4×4×4 неполны: 60 вокселей вместо 64."));
        QCOMPARE(texture.texture(), 0u);
        QVERIFY(!texture.upload(nullptr, volumeOf(1, 1, 1, 0.f), &error));
        QCOMPARE(error, QStringLiteral("Объём пуст или контекст OpenGL не готов."));
    }

    void transferTableEqualsFunction_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<double>("huMin");
        QTest::addColumn<double>("huMax");
        QTest::newRow("bones") << "Кости" << -1000.0 << 3000.0;
        QTest::newRow("vessels, narrow range") << "Сосуды (контраст)" << 0.0 << 600.0;
        QTest::newRow("empty range") << "Кожа" << 30.0 << 30.0;
        QTest::newRow("reversed range") << "Мышцы" << 120.0 << 0.0;
    }
    void transferTableEqualsFunction()
    {
        QFETCH(QString, name);
        QFETCH(double, huMin);
        QFETCH(double, huMax);
        const TransferFunctionPreset& function = preset(name);
        QVERIFY(!function.points.isEmpty());
        GpuTransferFunctionTexture texture;
        QString error;
        QVERIFY2(texture.upload(&m_device, function, huMin, huMax, &error), qPrintable(error));
        auto* f = gl();
        unsigned char back[1024] = {};
        f->glBindTexture(GL_TEXTURE_1D, texture.texture());
        f->glGetTexImage(GL_TEXTURE_1D, 0, GL_RGBA, GL_UNSIGNED_BYTE, back);
        f->glBindTexture(GL_TEXTURE_1D, 0);
        for (int i = 0; i < 256; ++i) {
            const double value = huMin + i / 255.0 * std::max(huMax - huMin, 1e-6);
            float rgb[3];
            sampleTransferFunctionColor(function, rgb, value);
            const int expected[4] = {int(std::clamp(double(rgb[0]), 0.0, 1.0) * 255.0),
                                     int(std::clamp(double(rgb[1]), 0.0, 1.0) * 255.0),
                                     int(std::clamp(double(rgb[2]), 0.0, 1.0) * 255.0),
                                     int(std::clamp(sampleTransferFunctionOpacity(function, value), 0.0, 1.0) * 255.0)};
            for (int c = 0; c < 4; ++c)
                if (back[4 * i + c] != expected[c])
                    QFAIL(qPrintable(QStringLiteral("entry %1 channel %2: %3, expected %4")
                                         .arg(i).arg(c).arg(back[4 * i + c]).arg(expected[c])));
        }
    }

    void cropMaskReadsBackRowByRow()
    {
        // Three pixels a row: the image pads each line to four bytes.
        QImage mask(3, 2, QImage::Format_Grayscale8);
        const uchar values[2][3] = {{0, 127, 128}, {255, 10, 200}};
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 3; ++x)
                mask.scanLine(y)[x] = values[y][x];
        GpuCropMaskTexture texture;
        QString error;
        QVERIFY2(texture.upload(&m_device, mask.convertToFormat(QImage::Format_RGB32), &error), qPrintable(error));
        auto* f = gl();
        uchar back[2][4] = {};
        f->glBindTexture(GL_TEXTURE_2D, texture.texture());
        f->glPixelStorei(GL_PACK_ALIGNMENT, 4);
        f->glGetTexImage(GL_TEXTURE_2D, 0, GL_RED, GL_UNSIGNED_BYTE, back);
        f->glBindTexture(GL_TEXTURE_2D, 0);
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 3; ++x)
                QCOMPARE(back[y][x], values[y][x]);

        QVERIFY(!texture.upload(&m_device, QImage(), &error));
        QCOMPARE(error, QStringLiteral("Контекст OpenGL не готов или маска пуста."));
        QCOMPARE(texture.texture(), 0u);
        QVERIFY(texture.upload(&m_device, mask, nullptr));
        texture.release();
        QCOMPARE(texture.texture(), 0u);
    }

    void blockLayouts_data()
    {
        QTest::addColumn<int>("renderer");
        QTest::addColumn<QByteArray>("member");
        QTest::addColumn<int>("offset");
        const Member slice[] = {{"SliceZ01", 0}, {"WindowCenter", 4}, {"WindowWidth", 8}, {"_Padding", 12}};
        for (const Member& m : slice)
            QTest::addRow("slice %s", m.name) << 0 << QByteArray(m.name) << m.offset;
        QList<Member> mip = {{"CameraDir", 0},     {"CameraRight", 16}, {"CameraUp", 32},     {"VolumeExtentMm", 48},
                             {"HalfExtentMm", 64}, {"RayStartMm", 68},  {"RayLengthMm", 72},  {"NumSteps", 76},
                             {"PanU", 80},         {"PanV", 84},        {"WindowCenter", 88}, {"WindowWidth", 92},
                             {"Mode", 96},         {"CropCount", 100},  {"_pad5", 104},       {"_pad6", 108}};
        mip += cropMembers(112);
        for (const Member& m : mip)
            QTest::addRow("mip %s", m.name) << 1 << QByteArray(m.name) << m.offset;
        QList<Member> vrt = {{"CameraDir", 0},           {"CameraRight", 16},  {"CameraUp", 32},
                             {"VolumeExtentMm", 48},     {"VoxelSizeMm", 64},  {"HalfExtentMm", 80},
                             {"RayStartMm", 84},         {"RayLengthMm", 88},  {"NumSteps", 92},
                             {"PanU", 96},               {"PanV", 100},        {"HuMin", 104},
                             {"HuMax", 108},             {"EnableShading", 112}, {"CropCount", 116},
                             {"_pad6", 120},             {"_pad7", 124},       {"PerspectiveEnabled", 128},
                             {"_padPersp0", 132},        {"_padPersp1", 136},  {"_padPersp2", 140},
                             {"CameraPosMm", 144},       {"FovDeg", 156}};
        vrt += cropMembers(160);
        for (const Member& m : vrt)
            QTest::addRow("vrt %s", m.name) << 2 << QByteArray(m.name) << m.offset;
    }
    void blockLayouts()
    {
        QFETCH(int, renderer);
        QFETCH(QByteArray, member);
        QFETCH(int, offset);
        QString error;
        if (!m_slice.isInitialized())
            QVERIFY2(m_slice.initialize(&m_device, &error) && m_mip.initialize(&m_device, &error)
                         && m_vrt.initialize(&m_device, &error),
                     qPrintable(error));
        const unsigned int program[] = {m_slice.program(), m_mip.program(), m_vrt.program()};
        const char* blockName[] = {"SliceParams", "CameraParams", "VrtParams"};
        const int blockSize[] = {16, 496, 544};
        auto* f = gl();
        const GLuint block = f->glGetUniformBlockIndex(program[renderer], blockName[renderer]);
        QVERIFY(block != GL_INVALID_INDEX);
        GLint size = 0;
        f->glGetActiveUniformBlockiv(program[renderer], block, GL_UNIFORM_BLOCK_DATA_SIZE, &size);
        QCOMPARE(size, blockSize[renderer]);
        const char* names[] = {member.constData()};
        GLuint index = GL_INVALID_INDEX;
        f->glGetUniformIndices(program[renderer], 1, names, &index);
        QVERIFY2(index != GL_INVALID_INDEX, member.constData());
        GLint at = -1, inBlock = -1;
        f->glGetActiveUniformsiv(program[renderer], 1, &index, GL_UNIFORM_OFFSET, &at);
        f->glGetActiveUniformsiv(program[renderer], 1, &index, GL_UNIFORM_BLOCK_INDEX, &inBlock);
        QCOMPARE(inBlock, GLint(block));
        QCOMPARE(at, offset);
    }

    void compileErrorNamesEntryAndSource()
    {
        const shaders::ShaderSource broken = {"Broken.hlsl", "#ifdef VERTEX_STAGE\nvoid VSMain() { gl_Position = "
                                                             "vec4(0.0); }\n#else\nvoid PSMain() { nonsense(); }\n#endif\n"};
        GpuShaderProgram program;
        QString error;
        QVERIFY(!program.build(&m_device, broken, QString(), &error));
        QVERIFY2(error.startsWith(QStringLiteral("Ошибка компиляции шейдера \"PSMain\": Broken.hlsl: ")),
                 qPrintable(error));
        QVERIFY(!program.isBuilt());

        const shaders::ShaderSource brokenVertex = {"BrokenVertex.hlsl", "void VSMain() { oops }\nvoid PSMain() {}\n"};
        QVERIFY(!program.build(&m_device, brokenVertex, QString(), &error));
        QVERIFY2(error.startsWith(QStringLiteral("Ошибка компиляции шейдера \"VSMain\": BrokenVertex.hlsl: ")),
                 qPrintable(error));
    }

    void lineDrawsCornerToCornerAndGrows()
    {
        GpuDevice device;
        QString error;
        QVERIFY(device.initialize(800, 600, &error));
        GpuLineRenderer line;
        QVERIFY2(line.initialize(&device, &error), qPrintable(error));

        device.beginFrame(0.f, 0.f, 0.f, 1.f);
        line.draw(&device, {QPoint(100, 0)}, 800, 600);
        QCOMPARE(line.vertexCapacity(), 0);
        line.draw(&device, {QPoint(100, 0), QPoint(700, 600)}, 800, 0);
        QCOMPARE(line.vertexCapacity(), 0);
        QImage frame = device.present();
        QCOMPARE(frame.pixel(400, 300), qRgb(0, 0, 0));

        line.draw(&device, {QPoint(100, 0), QPoint(700, 600)}, 800, 600);
        QCOMPARE(line.vertexCapacity(), 256);
        frame = device.present();
        // Yellow at 0.95 over black, on the square's diagonal from corner to corner.
        const QRgb yellow = qRgb(242, 223, 24);
        auto near = [&](int x, int y) {
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    const QRgb c = frame.pixel(std::clamp(x + dx, 0, 799), std::clamp(y + dy, 0, 599));
                    if (std::abs(qRed(c) - qRed(yellow)) <= 2 && std::abs(qGreen(c) - qGreen(yellow)) <= 2
                        && std::abs(qBlue(c) - qBlue(yellow)) <= 2)
                        return true;
                }
            return false;
        };
        QVERIFY(near(100, 0));
        QVERIFY(near(400, 300));
        QVERIFY(near(699, 599));
        QCOMPARE(frame.pixel(50, 50), qRgb(0, 0, 0));
        QCOMPARE(frame.pixel(700, 100), qRgb(0, 0, 0));
        QVERIFY(!device.makeCurrent()->glIsEnabled(GL_BLEND));

        QList<QPoint> many;
        for (int i = 0; i < 300; ++i)
            many.append(QPoint(100 + i * 2, 300));
        line.draw(&device, many, 800, 600);
        QCOMPARE(line.vertexCapacity(), 300);
        line.draw(&device, many.mid(0, 10), 800, 600);
        QCOMPARE(line.vertexCapacity(), 300);
        QVERIFY(!device.makeCurrent()->glIsEnabled(GL_BLEND));
        QCOMPARE(device.makeCurrent()->glGetError(), GLenum(GL_NO_ERROR));
    }

    void objectsOutliveTheirDevice()
    {
        // Owners are destroyed in any order: textures and renderers keep the context they were made in.
        auto device = std::make_unique<GpuDevice>();
        QVERIFY(device->initialize(16, 16, nullptr));
        GpuVolumeTexture volume;
        QVERIFY(volume.upload(device.get(), volumeOf(2, 2, 2, 3.f), nullptr));
        GpuMipRenderer mip;
        QVERIFY(mip.initialize(device.get(), nullptr));
        device.reset();
        volume.release();
        mip.release();
        QVERIFY(!mip.isInitialized());
    }
};

QTEST_MAIN(TestGpuDevice)
#include "tst_gl_gpudevice.moc"
