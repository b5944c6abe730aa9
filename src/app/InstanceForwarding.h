#pragma once
// A second normal-mode copy hands its launch request (or, without one, a request to come to the
// front) to the copy already running, through that copy's loopback HTTP server.

#include "pacs/PacsOpenRequest.h"

#include <QJsonObject>
#include <QString>

#include <optional>

// How long the second copy waits for the first one's answer.
constexpr int kForwardTimeoutMs = 3000;

// POSTs the request to "/pacs/open" (or an empty object to "/focus") on the loopback API port and waits at most
// kForwardTimeoutMs, then releases the DICOM codecs. Whatever the outcome, the caller ends with 0. Returns an
// empty string when the running copy took the request, otherwise what the user is to be told, in Russian.
// `delivered`: the running copy has the request, though it may not have answered yet (it is busy).
QString forwardToRunningInstance(const std::optional<pacs::PacsOpenRequest>& request, bool* delivered = nullptr);

// POSTs `body` as compact JSON to http://127.0.0.1:<port><path> and waits for the answer or the
// time-out, whichever comes first. Empty when the answer took the request (a 2xx status), otherwise
// why not, in Russian. `delivered`: the request was taken, or written whole to the connection though no
// answer came in time.
QString postToRunningInstance(quint16 port, const QString& path, const QJsonObject& body, bool* delivered = nullptr);
