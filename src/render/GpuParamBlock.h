#pragma once

#include <QVector3D>

#include <cstring>
#include <vector>

namespace render {

// The bytes of one std140 uniform block, zero-filled, written member by member at fixed offsets.
class GpuParamBlock
{
public:
    explicit GpuParamBlock(size_t size) : m_bytes(size, 0) {}

    void putFloat(size_t offset, float v) { put(offset, &v, sizeof v); }
    void putInt(size_t offset, qint32 v) { put(offset, &v, sizeof v); }
    void putVec3(size_t offset, const QVector3D& v)
    {
        const float f[3] = {v.x(), v.y(), v.z()};
        put(offset, f, sizeof f);
    }
    const unsigned char* data() const { return m_bytes.data(); }
    size_t size() const { return m_bytes.size(); }

private:
    void put(size_t offset, const void* src, size_t n)
    {
        if (offset + n <= m_bytes.size())
            std::memcpy(m_bytes.data() + offset, src, n);
    }

    std::vector<unsigned char> m_bytes;
};

} // namespace render
