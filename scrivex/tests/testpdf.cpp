#include "testpdf.h"

#include <QFile>

namespace {

QByteArray number(double v)
{
    return QByteArray::number(v, 'f', 2);
}

QByteArray boxArray(const QRectF &r)
{
    return '[' + number(r.left()) + ' ' + number(r.top()) + ' ' + number(r.right()) + ' '
        + number(r.bottom()) + ']';
}

QByteArray escaped(const QByteArray &text)
{
    QByteArray out;
    for (char c : text) {
        if (c == '(' || c == ')' || c == '\\')
            out += '\\';
        out += c;
    }
    return out;
}

} // namespace

QByteArray TestPdf::lines(
    double x, double y, double size, double leading, const QList<QByteArray> &texts)
{
    QByteArray out = "BT /F1 " + number(size) + " Tf\n";
    for (const QByteArray &line : texts) {
        int indent = 0;
        while (indent < line.size() && line[indent] == ' ')
            ++indent;
        // An indent is a move, not space glyphs, as typesetters do it.
        const double lineX = x + indent * size * 0.5;
        out += "1 0 0 1 " + number(lineX) + ' ' + number(y) + " Tm (" + escaped(line.mid(indent))
            + ") Tj\n";
        y -= leading;
    }
    return out + "ET\n";
}

QByteArray TestPdf::bytes() const
{
    QList<QByteArray> objects;
    objects << "<< /Type /Catalog /Pages 2 0 R >>";
    QByteArray kids;
    for (int i = 0; i < m_pages.size(); ++i)
        kids += QByteArray::number(4 + 2 * i) + " 0 R ";
    objects << "<< /Type /Pages /Kids [" + kids + "] /Count " + QByteArray::number(m_pages.size())
            + " >>";
    objects << "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding << /Type /Encoding "
               "/BaseEncoding /WinAnsiEncoding /Differences [1 /fi /fl] >> >>";
    for (int i = 0; i < m_pages.size(); ++i) {
        const Page &page = m_pages[i];
        QByteArray dict = "<< /Type /Page /Parent 2 0 R /MediaBox " + boxArray(page.mediaBox);
        if (!page.cropBox.isEmpty())
            dict += " /CropBox " + boxArray(page.cropBox);
        if (page.rotate)
            dict += " /Rotate " + QByteArray::number(page.rotate);
        dict += " /Resources << /Font << /F1 3 0 R >> >> /Contents " + QByteArray::number(5 + 2 * i)
            + " 0 R >>";
        objects << (page.missing ? QByteArray("null") : dict);
        objects << "<< /Length " + QByteArray::number(page.content.size()) + " >>\nstream\n"
                + page.content + "\nendstream";
    }

    QByteArray out = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
    QList<qsizetype> offsets;
    for (int i = 0; i < objects.size(); ++i) {
        offsets << out.size();
        out += QByteArray::number(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const qsizetype xref = out.size();
    out += "xref\n0 " + QByteArray::number(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (qsizetype offset : offsets)
        out += QByteArray::number(offset).rightJustified(10, '0') + " 00000 n \n";
    out += "trailer\n<< /Size " + QByteArray::number(objects.size() + 1)
        + " /Root 1 0 R >>\nstartxref\n" + QByteArray::number(xref) + "\n%%EOF\n";
    return out;
}

bool TestPdf::save(const QString &path) const
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes()) >= 0;
}
