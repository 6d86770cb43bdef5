#include "uploadform_p.h"

#include <QRandomGenerator>

UploadForm::UploadForm(QObject *parent)
    : QIODevice(parent)
{
    quint32 random[4];
    QRandomGenerator::system()->fillRange(random);
    boundary = "kumat-form-" + QByteArray(reinterpret_cast<const char *>(random), sizeof random).toHex();
}

UploadForm::~UploadForm() = default;

QByteArray UploadForm::contentType() const
{
    return "multipart/form-data; boundary=" + boundary;
}

QByteArray UploadForm::partHeader(const QByteArray &disposition, const QByteArray &contentType) const
{
    QByteArray header = "--" + boundary + "\r\nContent-Disposition: " + disposition + "\r\n";
    if (!contentType.isEmpty())
        header += "Content-Type: " + contentType + "\r\n";
    return header + "\r\n";
}

void UploadForm::addField(const QByteArray &disposition, const QByteArray &body)
{
    appendBytes(partHeader(disposition, QByteArray()) + body + "\r\n");
}

void UploadForm::addFile(const QByteArray &disposition, const QByteArray &contentType, QIODevice *file)
{
    appendBytes(partHeader(disposition, contentType));
    appendDevice(file);
    appendBytes("\r\n");
}

bool UploadForm::finish()
{
    appendBytes("--" + boundary + "--\r\n");
    cursor = 0;
    return open(QIODevice::ReadOnly | QIODevice::Unbuffered);
}

void UploadForm::appendBytes(const QByteArray &bytes)
{
    if (!segments.isEmpty() && !segments.last().device) {
        segments.last().bytes += bytes;
        segments.last().length += bytes.size();
    } else {
        Segment segment;
        segment.bytes = bytes;
        segment.start = total;
        segment.length = bytes.size();
        segments.append(segment);
    }
    total += bytes.size();
}

void UploadForm::appendDevice(QIODevice *device)
{
    Segment segment;
    segment.device = device;
    segment.start = total;
    segment.length = device->size();
    segments.append(segment);
    total += segment.length;
}

bool UploadForm::isSequential() const
{
    return false;
}

qint64 UploadForm::size() const
{
    return total;
}

bool UploadForm::seek(qint64 pos)
{
    if (pos < 0 || pos > total || !QIODevice::seek(pos))
        return false;
    cursor = pos;
    return true;
}

qint64 UploadForm::readData(char *data, qint64 maxSize)
{
    qint64 done = 0;
    bool fileRead = false;
    for (const Segment &segment : std::as_const(segments)) {
        if (done >= maxSize || cursor >= total)
            break;
        if (cursor >= segment.start + segment.length)
            continue;
        const qint64 offset = cursor - segment.start;
        const qint64 wanted = qMin(maxSize - done, segment.length - offset);
        if (segment.device && fileRead)
            break;
        if (!segment.device) {
            memcpy(data + done, segment.bytes.constData() + offset, size_t(wanted));
            done += wanted;
            cursor += wanted;
            continue;
        }
        if (segment.device->pos() != offset && !segment.device->seek(offset))
            return done > 0 ? done : -1;
        const qint64 n = segment.device->read(data + done, wanted);
        // a file that shrank while it was being sent must not pass for complete
        if (n <= 0)
            return done > 0 ? done : -1;
        done += n;
        cursor += n;
        // One read of the file per call: a throttled file has waited already.
        // The closing boundary rides along with the file's last bytes: sent
        // as a write of its own, it would wait for the server's delayed ACK
        // (Nagle), some 40 ms on every small upload.
        if (cursor < segment.start + segment.length)
            break;
        fileRead = true;
    }
    return done;
}

qint64 UploadForm::writeData(const char *, qint64)
{
    return -1;
}
