#pragma once

#include "clinical/CategoryHub.h"

#include <QString>

namespace db {
class Database;
}

// The non-modal calculator window: categories with their pages on the left, the chosen page on the right.
class RadiologyCalculatorHub : public CategoryHub
{
    Q_OBJECT

public:
    RadiologyCalculatorHub(QWidget* parent, db::Database* db, const QString& studyUid);
};
