#pragma once

#include "Volume.h"

#include <db/InstanceRecord.h>

#include <QList>

namespace render {

// Slice sources for volume building, one per instance row, in the rows' order. Position and
// orientation are carried over so that the builder can order the stack by geometry.
QList<SliceSource> sliceSourcesFromInstances(const QList<db::InstanceRecord>& instances);

// The same with locations and spacings only: orientation and position stay unset, so that the
// volume's axes follow the stack as acquired and the plane hint of the series title orients it.
QList<SliceSource> locationOnlySliceSources(const QList<db::InstanceRecord>& instances);

} // namespace render
