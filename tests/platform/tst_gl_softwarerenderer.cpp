// The GL tests run on Mesa's software renderer; the program itself must refuse it, because a volume
// frame there takes seconds and the 3D view would freeze instead of falling back to the CPU renderer.
#include "platform/GlOffscreenContext.h"

#include <QOpenGLFunctions_3_3_Core>
#include <QtTest>

class TestSoftwareRenderer : public QObject
{
    Q_OBJECT

private slots:
    void refusedUnlessAllowed()
    {
        QString error;
        {
            const auto allowed = platform::GlOffscreenContext::create(&error);
            QVERIFY2(allowed, qPrintable(error));
            const QByteArray renderer(reinterpret_cast<const char*>(allowed->makeCurrent()->glGetString(GL_RENDERER)));
            if (!renderer.toLower().contains("llvmpipe") && !renderer.toLower().contains("softpipe"))
                QSKIP("this display has a hardware renderer");
        }
        // Only the tests' own code accepts it: no environment variable does.
        qputenv("KALVENOR_ALLOW_SOFTWARE_GL", "1");
        platform::GlOffscreenContext::setSoftwareRendererAccepted(false);
        const auto refused = platform::GlOffscreenContext::create(&error);
        platform::GlOffscreenContext::setSoftwareRendererAccepted(true);
        QVERIFY(!refused);
        QVERIFY2(error.startsWith(QStringLiteral("Доступен только программный OpenGL (")), qPrintable(error));
        QVERIFY(platform::GlOffscreenContext::create(&error));
    }
};

QTEST_MAIN(TestSoftwareRenderer)
#include "tst_gl_softwarerenderer.moc"
