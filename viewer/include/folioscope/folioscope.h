#ifndef FOLIOSCOPE_FOLIOSCOPE_H
#define FOLIOSCOPE_FOLIOSCOPE_H

#include "folioscope_export.h"

#include <QWidget>

#include <tessellum/chunk.h>

class QPdfDocument;
class QPdfSearchModel;
class QCustomPdfView;

// The PDF viewer window: one page view filling the window, showing a document with its chunk
// highlight and search hits. The documents and search models it is given stay their owner's.
class FOLIOSCOPE_EXPORT Folioscope : public QWidget
{
    Q_OBJECT

public:
    // The dynamic property (a QString, the local file path) that the owner of a QPdfDocument
    // sets so that the viewer can read the same file for links and page geometry. Without it
    // the viewer draws no link underlines and takes QtPdf's text geometry as it comes.
    static constexpr const char *SourceFileProperty = "sourceFile";
    // The same for an owner that loaded the document from memory: the dynamic property (a
    // QByteArray, the whole PDF) the viewer then reads in place of any file. A file can change
    // on disk while it is shown; these bytes cannot.
    static constexpr const char *SourceDataProperty = "sourceData";

    explicit Folioscope(QWidget *parent = nullptr);
    ~Folioscope() override;

    void open(QPdfDocument *document);
    void setHighlight(const Chunk &chunk);
    void clearHighlights();
    void jumpToHighlights();
    void setSearchHighlights(QPdfSearchModel *model, int index);
    void closeDocument(const QPdfDocument *document);
    void closeOpenDocument();

protected:
    void resizeEvent(QResizeEvent *event) override;

private slots:
    void onViewDocumentChange(QPdfDocument *document);

private:
    QCustomPdfView *view;
};

#endif // FOLIOSCOPE_FOLIOSCOPE_H
