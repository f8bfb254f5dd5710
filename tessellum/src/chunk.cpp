#include "tessellum/chunk.h"

Chunk::Chunk() = default;

Chunk::Chunk(const QString &doc, int page, float x, float y, float width, float height)
    : m_doc(doc), m_page(page), m_x(x), m_y(y), m_width(width), m_height(height)
{
}

QString Chunk::doc() const
{
    return m_doc;
}

int Chunk::page() const
{
    return m_page;
}

QRectF Chunk::rect() const
{
    return QRectF(m_x, m_y, m_width, m_height);
}
