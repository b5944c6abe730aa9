#pragma once
// DcmSCU keeps its association to itself, and its own data set receives either parse as they read
// or name a file to write. Receiving unparsed into memory, and dropping what cannot be written,
// needs the association itself.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/scu.h>

namespace pacs {

T_ASC_Association* associationOf(DcmSCU& scu);

} // namespace pacs
