#pragma once
// A second normal-mode copy hands its launch request (or, without one, a request to come to the
// front) to the copy already running, through that copy's loopback HTTP server.

#include "pacs/PacsOpenRequest.h"
#include "platform/DataFolderLock.h"

#include <QJsonObject>
#include <QString>

#include <functional>
#include <optional>

namespace platform {
class SingleInstanceLock;
}

// How long the second copy waits for the first one's answer.
constexpr int kForwardTimeoutMs = 3000;
// How long a copy holding the data folder may refuse connections while it is starting, before the second copy
// says it takes no requests, and how often it is tried meanwhile.
constexpr int kStartingCopyWaitMs = 5000;
constexpr int kStartingCopyRetryMs = 100;

// POSTs the request to "/pacs/open" (or an empty object to "/focus") on the loopback API port and waits at most
// kForwardTimeoutMs, then releases the DICOM codecs. Whatever the outcome, the caller ends with 0. Returns an
// empty string when the running copy took the request, otherwise what the user is to be told, in Russian.
// `delivered`: the running copy has the request, though it may not have answered yet (it is busy).
QString forwardToRunningInstance(const std::optional<pacs::PacsOpenRequest>& request, bool* delivered = nullptr);

// POSTs `body` as compact JSON to http://127.0.0.1:<port><path> and waits for the answer or the
// time-out, whichever comes first. Empty when the answer took the request (a 2xx status), otherwise
// why not, in Russian. `delivered`: the request was taken, or written whole to the connection though no
// answer came in time.
// `notListening`: nothing listened on the port (the connection was refused).
QString postToRunningInstance(quint16 port, const QString& path, const QJsonObject& body,
                              bool* delivered = nullptr, bool* notListening = nullptr);

struct ForwardOutcome
{
    bool delivered = false; // the running copy has the request, though it may not have answered yet
    QString message;        // what the user is to be told, in Russian; empty when the running copy took it
};

// Decides at start which copy works on the data folder: nothing when this one does, the folder's lock then
// held for as long as the caller keeps it (where no lock can be had in the folder, the session's lock decides
// instead). Otherwise another copy holds the folder: the request is handed to it when it may run on this
// computer, and the outcome says what became of it. A copy that does not listen yet is waited for, at most
// kStartingCopyWaitMs and not past a request to end (platform::TerminationSignals); `whileWaiting` is called
// before each new try. The caller then ends with 0, having changed nothing in the folder.
std::optional<ForwardOutcome> forwardUnlessFirst(platform::DataFolderLock& folderLock,
                                                 platform::SingleInstanceLock& sessionLock,
                                                 const std::optional<pacs::PacsOpenRequest>& request,
                                                 const std::function<void()>& whileWaiting = {});
