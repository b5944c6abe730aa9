#pragma once

#include <QString>

namespace db {

// Sex, height and weight of a study's patient.
struct PatientBodyInfo
{
    QString sex;
    double heightCm = 0.0;
    double weightKg = 0.0;
};

} // namespace db
