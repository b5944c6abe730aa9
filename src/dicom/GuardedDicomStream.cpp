#include "dicom/GuardedDicomStream.h"

#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcsequen.h>

#include <pthread.h>

#include <utility>
#include <vector>

namespace dicom {
namespace {

struct ThreadStack
{
    quintptr low = 0; // where it ends (the stack grows down); 0 when the system does not say
    quintptr size = 0;
};

ThreadStack threadStack()
{
    thread_local const ThreadStack stack = [] {
        ThreadStack found;
        pthread_attr_t attributes;
        if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
            void* address = nullptr;
            size_t size = 0;
            if (pthread_attr_getstack(&attributes, &address, &size) == 0)
                found = {quintptr(address), quintptr(size)};
            pthread_attr_destroy(&attributes);
        }
        return found;
    }();
    return stack;
}

quintptr currentFrame()
{
    // The frame address, not a local's: a sanitizer may keep locals elsewhere.
    return quintptr(__builtin_frame_address(0));
}

// Stack assumed below the first guarded read when the system does not tell where the stack ends:
// less than any thread of this program has.
constexpr quintptr kAssumedStack = 2 * 1024 * 1024;

} // namespace

StackGuard::StackGuard()
{
    const quintptr here = currentFrame();
    const ThreadStack stack = threadStack();
    if (stack.low != 0 && stack.low < here)
        m_limit = stack.low + qBound(kMinParseStackReserve, stack.size / 8, kMaxParseStackReserve);
    else
        m_limit = here > kAssumedStack ? here - kAssumedStack : 0;
}

bool StackGuard::roomLeft()
{
    if (!m_tripped && currentFrame() < m_limit)
        m_tripped = true;
    return !m_tripped;
}

bool GuardedReading::allowRead(qint64 length)
{
    if (stopped() || !guard.roomLeft())
        return false;
    if (readBudget >= 0 && bytesRead + length > readBudget) {
        overBudget = true;
        return false;
    }
    bytesRead += length;
    return true;
}

OFCondition stoppedReadingCondition()
{
    return makeOFCondition(OFM_dcmdata, 997, OF_error, "reading stopped before the stack's end");
}

int treeSequenceDepth(DcmItem& top)
{
    int deepest = 0;
    std::vector<std::pair<DcmItem*, int>> pending{{&top, 0}};
    while (!pending.empty()) {
        const auto [item, depth] = pending.back();
        pending.pop_back();
        // Each list is walked once from its start, so that every step is a single move along it.
        for (DcmObject* element = item->nextInContainer(nullptr); element; element = item->nextInContainer(element)) {
            if (element->ident() != EVR_SQ)
                continue;
            auto* sequence = static_cast<DcmSequenceOfItems*>(element);
            for (DcmObject* child = sequence->nextInContainer(nullptr); child; child = sequence->nextInContainer(child)) {
                if (child->ident() == EVR_item || child->ident() == EVR_dirRecord) {
                    deepest = qMax(deepest, depth + 1);
                    pending.emplace_back(static_cast<DcmItem*>(child), depth + 1);
                }
            }
        }
    }
    return deepest;
}

} // namespace dicom
