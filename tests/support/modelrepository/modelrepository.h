#ifndef MODELREPOSITORY_H
#define MODELREPOSITORY_H

#include <QObject>
#include <QSslServer>
#include <QString>

class QSslSocket;

// Serves the files of one folder over HTTPS the way a model repository does: GET
// /OWNER/REPO/resolve/main/FILE answers FILE of the folder, ranged requests with 206 and
// Content-Range, on a kept-alive connection. The OWNER picks a misbehaviour, so that one server
// covers every case:
//   norange      ignores Range: 200 with the whole file
//   short        answers only the first half of each asked range (a valid, shorter 206)
//   dropatN      for a range starting at byte N, sends half of it, then drops the connection
//   e404, e500   that status with an HTML body
//   badrange     206 whose Content-Range starts one byte after the asked one
//   slow         sends 64 KiB every 20 ms
//   redirect     answers 302 with the address of the file under the owner "ok"
//   longer       206 whose body runs 1 MiB of junk past the range, counted in Content-Length
//   longernolength  the same without a Content-Length; the connection closes after the body
//   larger       ignores Range: 200 whose Content-Length is ten times the file, junk after it
//   endless      206 with the range, then junk without end (no Content-Length)
//   endless200   ignores Range: 200 with the whole file, then junk without end
//   stall        announces the range, sends its first 1000 bytes, then nothing
//   elsewhere    answers 302 with the address of the file under "ok" on another host (127.0.0.1
//                instead of localhost)
//   loop         answers 302 with its own address, for ever
//   garbage      answers with a line that is no HTTP
//   chunked      206 with the range in chunks of uneven sizes (Transfer-Encoding: chunked)
//   oneperconnection  answers one request per connection, then closes it when the next comes,
//                unanswered and unlogged
// The same files are served on 127.0.0.2 at the same port, with the same certificate, which names
// only localhost and 127.0.0.1: a client that checks the server's name refuses it there.
// Every request answered is logged on standard output as "GET <path> range=<Range>
// auth=<Authorization>", a missing header as "-".
class ModelRepository : public QObject
{
    Q_OBJECT

public:
    ModelRepository(const QString &root, QObject *parent = nullptr);

    // Port 0 takes any free port.
    bool listen(const QString &certificateFile, const QString &keyFile, quint16 port);
    quint16 port() const;

private:
    void onConnection();

    QString m_root;
    QSslServer m_server;
    // The same on 127.0.0.2, an address the certificate does not name.
    QSslServer m_unnamed;
};

#endif // MODELREPOSITORY_H
