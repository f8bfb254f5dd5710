#ifndef TESSELLUM_CHUNK_H
#define TESSELLUM_CHUNK_H

#include "tessellum_export.h"

#include <QMetaType>
#include <QRectF>
#include <QString>

// One passage of a PDF: the document's path text, a 0-based page and a box on that page in PDF
// points, origin at the page's top-left corner, y growing downwards.
class TESSELLUM_EXPORT Chunk
{
public:
    Chunk();
    Chunk(const QString &doc, int page, float x, float y, float width, float height);

    QString doc() const;
    int page() const;
    QRectF rect() const;

private:
    QString m_doc;
    int m_page = 0;
    float m_x = 0.0f;
    float m_y = 0.0f;
    float m_width = 0.0f;
    float m_height = 0.0f;
};

Q_DECLARE_METATYPE(Chunk)

#endif // TESSELLUM_CHUNK_H
