#pragma once

#include "clinical/CategoryHub.h"

#include <QString>

// The non-modal classification reference window: categories with their pages on the left, the chosen
// page on the right.
class ClassificationHub : public CategoryHub
{
    Q_OBJECT

public:
    explicit ClassificationHub(QWidget* parent);
};
