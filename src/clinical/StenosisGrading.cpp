#include "clinical/StenosisGrading.h"

namespace clinical {

QString stenosisGradeText(double percent)
{
    if (percent < 50.0)
        return QStringLiteral("<50% — гемодинамически незначимый");
    if (percent < 70.0)
        return QStringLiteral("50–69% — умеренный, может быть значимым в зависимости от бассейна и клиники");
    if (percent < 90.0)
        return QStringLiteral("70–89% — выраженный, как правило гемодинамически значимый");
    if (percent < 100.0)
        return QStringLiteral("≥90% — критический, субокклюзия");
    return QStringLiteral("100% — окклюзия просвета");
}

} // namespace clinical
