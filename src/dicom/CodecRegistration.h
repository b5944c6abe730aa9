#pragma once

namespace dicom {

// Registers DCMTK's JPEG, RLE and JPEG-LS decoders and the JPEG-LS encoder. Calls are counted: the
// codecs stay registered until every registerCodecs() has been matched by unregisterCodecs(), so the
// start-up code, tests and fixture writers can each hold their own registration without pulling the
// codecs away from one another. Both calls are safe from any thread.
void registerCodecs();
void unregisterCodecs();

// How many registrations are held right now (0 means the codecs are not registered by us).
int codecRegistrationCount();

// Holds one registration for the lifetime of the object (start-up wraps its event loop in one).
class CodecRegistrationScope
{
public:
    CodecRegistrationScope() { registerCodecs(); }
    ~CodecRegistrationScope() { unregisterCodecs(); }
    CodecRegistrationScope(const CodecRegistrationScope&) = delete;
    CodecRegistrationScope& operator=(const CodecRegistrationScope&) = delete;
};

} // namespace dicom
