#include "pacs/ScuAssociation.h"

#include <dcmtk/dcmnet/dimse.h>

namespace pacs {

namespace {

// An explicit instantiation may name a private member; the compiler still checks its name and type,
// so a toolkit that renames it fails to build rather than misbehaves.
template <typename Tag, typename Tag::Type Member>
struct MemberAccess
{
    friend typename Tag::Type memberOf(Tag) { return Member; }
};

struct ScuAssociationMember
{
    using Type = T_ASC_Association* DcmSCU::*;
    friend Type memberOf(ScuAssociationMember);
};

template struct MemberAccess<ScuAssociationMember, &DcmSCU::m_assoc>;

struct ScpAssociationMember
{
    using Type = T_ASC_Association* DcmSCP::*;
    friend Type memberOf(ScpAssociationMember);
};

template struct MemberAccess<ScpAssociationMember, &DcmSCP::m_assoc>;

struct ScuNetworkMember
{
    using Type = T_ASC_Network* DcmSCU::*;
    friend Type memberOf(ScuNetworkMember);
};

template struct MemberAccess<ScuNetworkMember, &DcmSCU::m_net>;

} // namespace

T_ASC_Association* associationOf(DcmSCU& scu)
{
    return scu.*memberOf(ScuAssociationMember());
}

T_ASC_Association* associationOf(DcmSCP& scp)
{
    return scp.*memberOf(ScpAssociationMember());
}

void endAssociation(DcmSCP& scp)
{
    T_ASC_Association*& association = scp.*memberOf(ScpAssociationMember());
    if (!association)
        return;
    ASC_dropSCPAssociation(association);
    ASC_destroyAssociation(&association);
}

T_ASC_Network* networkOf(DcmSCU& scu)
{
    return scu.*memberOf(ScuNetworkMember());
}

OFCondition dropDataSet(DcmSCU& scu)
{
    DIC_UL bytes = 0;
    DIC_UL fragments = 0;
    return DIMSE_ignoreDataSet(associationOf(scu), scu.getDIMSEBlockingMode(), int(scu.getDIMSETimeout()), &bytes,
                               &fragments);
}

} // namespace pacs
