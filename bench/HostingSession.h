#pragma once
// A hosting session of an index on the stand-in relay on loopback, its connections waiting for the
// client: what the remote benches download from.

#include "remote/RemoteAccessServer.h"
#include "remote/RemoteTunnelSocket.h"
#include "support/StandInRelay.h"

#include <QTest>

#include <memory>

namespace bench {

struct HostingSession
{
    fixtures::TestCertificate cert = fixtures::makeTestCertificate();
    fixtures::StandInRelay relay;
    QString secret = newTunnelSecret();
    std::unique_ptr<RemoteAccessServer> server;

    // Started, and `waiting` (the name of its last connection) waits at the relay.
    bool start(db::Database& index, const QString& waiting)
    {
        if (!relay.start(cert))
            return false;
        server = std::make_unique<RemoteAccessServer>(&index, nullptr);
        server->start(QStringLiteral("127.0.0.1"), relay.port(), QStringLiteral("t"), cert.fingerprint(), secret,
                      QString());
        return QTest::qWaitFor([&] { return relay.waitingCount(waiting) == 1; }, 30000);
    }
};

} // namespace bench
