#pragma once
// The program's data folder reached another way while the object lives (XDG_DATA_HOME changed), and
// reached as before once it goes: through a link to it, named relative to the working folder, or
// somewhere else altogether.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

namespace fixtures {

class DataFolderShape
{
public:
    DataFolderShape() = default;
    ~DataFolderShape() { qputenv("XDG_DATA_HOME", m_home); }
    DataFolderShape(const DataFolderShape&) = delete;
    DataFolderShape& operator=(const DataFolderShape&) = delete;

    // The folder that holds the data folder, as the run gave it.
    QString home() const { return QString::fromLocal8Bit(m_home); }
    // "absolute": as the run gave it; "link": through a link to it made at linkPath; "relative": named
    // relative to the working folder. False when the link cannot be made.
    bool reach(const QString& shape, const QString& linkPath = QString())
    {
        if (shape == QLatin1String("link")) {
            QFile::remove(linkPath);
            if (!QFile::link(home(), linkPath))
                return false;
            qputenv("XDG_DATA_HOME", QFile::encodeName(linkPath));
        } else if (shape == QLatin1String("relative")) {
            qputenv("XDG_DATA_HOME", QFile::encodeName(QDir::current().relativeFilePath(home())));
        } else {
            qputenv("XDG_DATA_HOME", m_home);
        }
        return true;
    }
    // Somewhere else altogether.
    void moveTo(const QString& folder) { qputenv("XDG_DATA_HOME", QFile::encodeName(folder)); }

private:
    const QByteArray m_home = qgetenv("XDG_DATA_HOME");
};

} // namespace fixtures
