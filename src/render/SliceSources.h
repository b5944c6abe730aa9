#pragma once

#include "render/Volume.h"

#include "db/InstanceRecord.h"

#include <QList>

namespace render {

// Slice sources for volume building, one per instance row, in the rows' order. Position and
// orientation are carried over so that the builder can order the stack by geometry and turn it onto
// the patient's axes.
QList<SliceSource> sliceSourcesFromInstances(const QList<db::InstanceRecord>& instances);

} // namespace render
