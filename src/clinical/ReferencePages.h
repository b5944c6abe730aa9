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
class CadRadsPage : public ReferencePageBase
{
    Q_OBJECT

public:
    explicit CadRadsPage(QWidget* parent);
};

class BosniakPage : public ReferencePageBase
{
    Q_OBJECT

public:
    explicit BosniakPage(QWidget* parent);
};

class SfuUtdPage : public ReferencePageBase
{
    Q_OBJECT

public:
    explicit SfuUtdPage(QWidget* parent);
};

class RecistPage : public ReferencePageBase
{
    Q_OBJECT

public:
    explicit RecistPage(QWidget* parent);
};

class DeauvillePage : public ReferencePageBase
{
    Q_OBJECT

public:
    explicit DeauvillePage(QWidget* parent);
};

class AastOrganInjuryPage : public ReferencePageBase
{
    Q_OBJECT

public:
    explicit AastOrganInjuryPage(QWidget* parent);
};

class SalterHarrisPage : public ReferencePageBase
{
    Q_OBJECT

public:
    explicit SalterHarrisPage(QWidget* parent);
};

class GardenPage : public ReferencePageBase
{
    Q_OBJECT

public:
    explicit GardenPage(QWidget* parent);
};

class TileAoPage : public ReferencePageBase
{
    Q_OBJECT

public:
    explicit TileAoPage(QWidget* parent);
};

class DenverCriteriaPage : public ReferencePageBase
{
    Q_OBJECT

public:
    explicit DenverCriteriaPage(QWidget* parent);
};

class ModifiedFisherPage : public ReferencePageBase
{
    Q_OBJECT

public:
    explicit ModifiedFisherPage(QWidget* parent);
};

class HuntHessWfnsPage : public ReferencePageBase
{
    Q_OBJECT

public:
    explicit HuntHessWfnsPage(QWidget* parent);
};

class SpetzlerMartinPage : public ReferencePageBase
{
    Q_OBJECT

public:
    explicit SpetzlerMartinPage(QWidget* parent);
};

class BalthazarCtsiPage : public ReferencePageBase
{
    Q_OBJECT

public:
    explicit BalthazarCtsiPage(QWidget* parent);
};

class HincheyPage : public ReferencePageBase
{
    Q_OBJECT

public:
    explicit HincheyPage(QWidget* parent);
};

class CradsPage : public ReferencePageBase
{
    Q_OBJECT

public:
    explicit CradsPage(QWidget* parent);
};

class PfirrmannPage : public ReferencePageBase
{
    Q_OBJECT

public:
    explicit PfirrmannPage(QWidget* parent);
};

class KellgrenLawrencePage : public ReferencePageBase
{
    Q_OBJECT

public:
    explicit KellgrenLawrencePage(QWidget* parent);
};

class GoutallierPage : public ReferencePageBase
{
    Q_OBJECT

public:
    explicit GoutallierPage(QWidget* parent);
};

class FicatPage : public ReferencePageBase
{
    Q_OBJECT

public:
    explicit FicatPage(QWidget* parent);
};

class ModicChangesPage : public ReferencePageBase
{
    Q_OBJECT

public:
    explicit ModicChangesPage(QWidget* parent);
};

class RisserSignPage : public ReferencePageBase
{
    Q_OBJECT

public:
    explicit RisserSignPage(QWidget* parent);
};
