#pragma once
// SOP Instance UIDs of the forms a misbehaving peer writes, in place of the ones a fixture gives its slices.

#include "support/DicomFixtures.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>

namespace fixtures {

// "" keeps the slice's UID; the others: "values" (two values), "trailing backslash" (an empty second value),
// "hash" (the index's own separator inside), "utf-8" (an é as UTF-8 under ISO_IR 192), "latin-1" (the
// byte E9 under ISO_IR 100).
inline QStringList unusualUidForms()
{
    return {QStringLiteral("values"), QStringLiteral("trailing backslash"), QStringLiteral("hash"),
            QStringLiteral("utf-8"), QStringLiteral("latin-1")};
}

// Gives each slice of the layout a UID of that form, each its own.
inline void giveUidForm(SeriesLayout& layout, const QString& form)
{
    if (form.isEmpty())
        return;
    const auto earlier = layout.customize;
    layout.customize = [earlier, form](DcmDataset& ds, int slice) {
        if (earlier)
            earlier(ds, slice);
        OFString own;
        ds.findAndGetOFString(DCM_SOPInstanceUID, own);
        QByteArray uid(own.c_str());
        const char* characterSet = nullptr;
        if (form == QLatin1String("values")) {
            uid += "\\" + uid + ".2";
        } else if (form == QLatin1String("trailing backslash")) {
            uid += "\\";
        } else if (form == QLatin1String("hash")) {
            uid += "#f1";
        } else if (form == QLatin1String("utf-8")) {
            uid += ".\xC3\xA9";
            characterSet = "ISO_IR 192";
        } else if (form == QLatin1String("latin-1")) {
            uid += ".\xE9";
            characterSet = "ISO_IR 100";
        }
        if (characterSet)
            ds.putAndInsertString(DCM_SpecificCharacterSet, characterSet);
        ds.putAndInsertString(DCM_SOPInstanceUID, uid.constData());
    };
}

} // namespace fixtures
