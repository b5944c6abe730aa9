#include "dicom/CodecRegistration.h"

#include <dcmtk/dcmdata/dcrledrg.h>
#include <dcmtk/dcmjpeg/djdecode.h>
#include <dcmtk/dcmjpls/djdecode.h>
#include <dcmtk/dcmjpls/djencode.h>

#include <mutex>

namespace dicom {
namespace {

std::mutex& registrationMutex()
{
    static std::mutex mutex;
    return mutex;
}

int g_registrations = 0;

} // namespace

void registerCodecs()
{
    std::lock_guard lock(registrationMutex());
    if (g_registrations++ == 0) {
        DJDecoderRegistration::registerCodecs();
        DcmRLEDecoderRegistration::registerCodecs();
        DJLSDecoderRegistration::registerCodecs();
        DJLSEncoderRegistration::registerCodecs();
    }
}

void unregisterCodecs()
{
    std::lock_guard lock(registrationMutex());
    if (g_registrations == 0)
        return; // an unmatched call must not take the codecs from someone who still holds them
    if (--g_registrations == 0) {
        DJLSEncoderRegistration::cleanup();
        DJLSDecoderRegistration::cleanup();
        DcmRLEDecoderRegistration::cleanup();
        DJDecoderRegistration::cleanup();
    }
}

int codecRegistrationCount()
{
    std::lock_guard lock(registrationMutex());
    return g_registrations;
}

} // namespace dicom
