#include "testpdf.h"

#include <QFile>

namespace {

// Advance widths of Helvetica (per 1000 em) for the characters the tests write.
int helveticaWidth(QChar c)
{
    static const QString lower = QStringLiteral("abcdefghijklmnopqrstuvwxyz");
    static const int lowerWidths[] = { 556, 556, 500, 556, 556, 278, 556, 556, 222, 222, 500, 222,
        833, 556, 556, 556, 556, 333, 500, 278, 556, 500, 722, 500, 500, 500 };
    static const QString upper = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZ");
    static const int upperWidths[] = { 667, 667, 722, 722, 667, 611, 778, 722, 278, 500, 667, 556,
        833, 722, 778, 667, 778, 722, 667, 611, 722, 667, 944, 667, 667, 611 };
    if (c.isDigit())
        return 556;
    if (const int i = lower.indexOf(c); i >= 0)
        return lowerWidths[i];
    if (const int i = upper.indexOf(c); i >= 0)
        return upperWidths[i];
    if (c == QLatin1Char(' '))
        return 278;
    if (c == QLatin1Char('.') || c == QLatin1Char(','))
        return 278;
    return 556;
}

QByteArray number(qreal v)
{
    return QByteArray::number(v, 'f', 3);
}

QByteArray box(const QRectF &r)
{
    return "[" + number(r.left()) + " " + number(r.top()) + " " + number(r.right()) + " "
        + number(r.bottom()) + "]";
}

QByteArray pdfString(const QString &text)
{
    QByteArray out = "(";
    for (const char c : text.toLatin1()) {
        if (c == '(' || c == ')' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + ")";
}

} // namespace

int TestPdf::addPage(const QSizeF &size)
{
    pages.append(Page { QRectF(QPointF(0, 0), size), QRectF(), {}, {} });
    return pages.size() - 1;
}

void TestPdf::setCropBox(int page, const QRectF &userSpaceBox)
{
    pages[page].cropBox = userSpaceBox;
}

QRectF TestPdf::shownBox(const Page &page) const
{
    return page.cropBox.isNull() ? page.mediaBox : page.cropBox;
}

QRectF TestPdf::addText(int page, const QPointF &baselineStart, const QString &text, qreal fontSize)
{
    Page &p = pages[page];
    const QRectF shown = shownBox(p);
    // The shown frame's top-left is the box's upper-left corner in user space.
    const QPointF user(shown.left() + baselineStart.x(), shown.bottom() - baselineStart.y());
    p.texts.append(Text { user, text, fontSize });
    const qreal ascent = 718 * fontSize / 1000;
    const qreal descent = 207 * fontSize / 1000;
    return QRectF(
        baselineStart.x(), baselineStart.y() - ascent, textWidth(text, fontSize), ascent + descent);
}

void TestPdf::addLink(int page, const QRectF &rect, const QString &uri)
{
    Page &p = pages[page];
    const QRectF shown = shownBox(p);
    const QRectF user(
        shown.left() + rect.left(), shown.bottom() - rect.bottom(), rect.width(), rect.height());
    p.links.append({ user, uri });
}

qreal TestPdf::textWidth(const QString &text, qreal fontSize)
{
    int units = 0;
    for (const QChar c : text)
        units += helveticaWidth(c);
    return units * fontSize / 1000;
}

bool TestPdf::write(const QString &path) const
{
    QList<QByteArray> objects; // object n is objects[n - 1]
    objects.append("<< /Type /Catalog /Pages 2 0 R >>");
    objects.append(QByteArray()); // page tree, filled once the page objects are numbered
    objects.append("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica "
                   "/Encoding /WinAnsiEncoding >>");
    QByteArray kids;
    for (const Page &page : pages) {
        QByteArray content;
        for (const Text &t : page.texts) {
            content += "BT /F1 " + number(t.size) + " Tf " + number(t.userBaseline.x()) + " "
                + number(t.userBaseline.y()) + " Td " + pdfString(t.text) + " Tj ET\n";
        }
        objects.append("<< /Length " + QByteArray::number(content.size()) + " >>\nstream\n"
            + content + "endstream");
        const int contentId = objects.size();
        QByteArray annots;
        for (const auto &link : page.links) {
            objects.append("<< /Type /Annot /Subtype /Link /Rect " + box(link.first)
                + " /Border [0 0 0] /A << /S /URI /URI " + pdfString(link.second) + " >> >>");
            annots += QByteArray::number(objects.size()) + " 0 R ";
        }
        QByteArray dict = "<< /Type /Page /Parent 2 0 R /MediaBox " + box(page.mediaBox);
        if (!page.cropBox.isNull())
            dict += " /CropBox " + box(page.cropBox);
        dict += " /Resources << /Font << /F1 3 0 R >> >> /Contents " + QByteArray::number(contentId)
            + " 0 R";
        if (!annots.isEmpty())
            dict += " /Annots [" + annots + "]";
        objects.append(dict + " >>");
        kids += QByteArray::number(objects.size()) + " 0 R ";
    }
    objects[1]
        = "<< /Type /Pages /Kids [" + kids + "] /Count " + QByteArray::number(pages.size()) + " >>";

    QByteArray out = "%PDF-1.4\n";
    QList<qsizetype> offsets;
    for (int i = 0; i < objects.size(); ++i) {
        offsets.append(out.size());
        out += QByteArray::number(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const qsizetype xref = out.size();
    out += "xref\n0 " + QByteArray::number(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (const qsizetype offset : offsets)
        out += QByteArray::number(offset).rightJustified(10, '0') + " 00000 n \n";
    out += "trailer\n<< /Size " + QByteArray::number(objects.size() + 1)
        + " /Root 1 0 R >>\nstartxref\n" + QByteArray::number(xref) + "\n%%EOF\n";

    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(out) == out.size();
}
