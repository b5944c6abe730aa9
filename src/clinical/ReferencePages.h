#pragma once

#include "clinical/ReferencePageBase.h"

// The classification reference pages: each shows its own constant text.

class BiRadsPage : public ReferencePageBase
{
    Q_OBJECT

public:
    explicit BiRadsPage(QWidget* parent);
};

class LiRadsPage : public ReferencePageBase
{
    Q_OBJECT

public:
    explicit LiRadsPage(QWidget* parent);
};

class MilanCriteriaPage : public ReferencePageBase
{
    Q_OBJECT

public:
    explicit MilanCriteriaPage(QWidget* parent);
};

class BismuthCorlettePage : public ReferencePageBase
{
    Q_OBJECT

public:
    explicit BismuthCorlettePage(QWidget* parent);
};

class PiRadsPage : public ReferencePageBase
{
    Q_OBJECT

public:
    explicit PiRadsPage(QWidget* parent);
};

class OradsUsPage : public ReferencePageBase
{
    Q_OBJECT

public:
    explicit OradsUsPage(QWidget* parent);
};

class LungRadsPage : public ReferencePageBase
{
    Q_OBJECT

public:
    explicit LungRadsPage(QWidget* parent);
};

class TiRadsPage : public ReferencePageBase
{
    Q_OBJECT

public:
    explicit TiRadsPage(QWidget* parent);
};
