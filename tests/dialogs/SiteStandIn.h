#pragma once
// A loopback stand-in for the vendor's web site, for the update check's tests.

#include <QByteArray>
#include <QHostAddress>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

// Answers every request with one fixed response, or holds the connection open without a word.
class SiteStandIn
{
public:
    SiteStandIn()
    {
        QVERIFY(m_server.listen(QHostAddress::LocalHost, 0));
        QObject::connect(&m_server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                auto buffer = std::make_shared<QByteArray>();
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
                    buffer->append(socket->readAll());
                    if (!buffer->contains("\r\n\r\n"))
                        return;
                    m_requestLines << QString::fromLatin1(buffer->left(buffer->indexOf("\r\n")));
                    if (m_stall)
                        return;
                    socket->write(m_response);
                    socket->disconnectFromHost();
                });
            }
        });
    }

    void answer(int status, const QByteArray& body)
    {
        m_response = QByteArray("HTTP/1.1 ") + QByteArray::number(status) + " X\r\nContent-Type: application/json\r\n" +
                     "Content-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    }
    void stall() { m_stall = true; }
    QByteArray url() const { return "http://127.0.0.1:" + QByteArray::number(m_server.serverPort()) + "/version.json"; }
    QStringList requestLines() const { return m_requestLines; }

private:
    QTcpServer m_server;
    QByteArray m_response;
    bool m_stall = false;
    QStringList m_requestLines;
};
