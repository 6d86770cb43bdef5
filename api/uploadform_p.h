#pragma once

// Internal to the server client.

#include <QByteArray>
#include <QIODevice>
#include <QList>

// The multipart/form-data body of an upload, read part by part without ever
// holding the file in memory. QHttpMultiPart would do the same, but it keeps
// reading its file part until the network layer's whole request (32 KiB) is
// filled; with a throttled file behind it that one call blocks the thread for
// 32 KiB's worth of the limit (half a minute at 1 KiB/s), and the window and
// the stop command wait with it. Here each read takes at most one read of the
// file, so a throttled file hands control back after a tenth of a second.
class UploadForm : public QIODevice
{
public:
    explicit UploadForm(QObject *parent = nullptr);
    ~UploadForm() override;

    // Parts go out in the order they are added. The file device must be open;
    // its size is taken now.
    void addField(const QByteArray &disposition, const QByteArray &body);
    void addFile(const QByteArray &disposition, const QByteArray &contentType, QIODevice *file);
    // Ends the form; opens the device for reading.
    bool finish();

    // "multipart/form-data; boundary=..." for the request's Content-Type.
    QByteArray contentType() const;

    bool isSequential() const override;
    qint64 size() const override;
    bool seek(qint64 pos) override;

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 maxSize) override;

private:
    struct Segment
    {
        QByteArray bytes;
        QIODevice *device = nullptr;
        qint64 start = 0;
        qint64 length = 0;
    };

    void appendBytes(const QByteArray &bytes);
    void appendDevice(QIODevice *device);
    QByteArray partHeader(const QByteArray &disposition, const QByteArray &contentType) const;

    QByteArray boundary;
    QList<Segment> segments;
    qint64 total = 0;
    qint64 cursor = 0;
};
