#pragma once

class QString;

namespace TestPlatform {

// A Windows program running under Wine (false on Linux and on Windows itself).
bool underWine();

// Lets the engine's moves into the platform's trash, on this thread, land in
// $XDG_DATA_HOME/Trash/files under Wine, whose shell refuses every move into
// the Recycle Bin; true and nothing done elsewhere (on Linux that folder is
// the freedesktop trash already, and Windows has its own Recycle Bin).
bool useStandInRecycleBin();

// Whether taking the permission bits of a file or folder away keeps this
// process from reading it: not for root, and not on Windows, where they only
// set the read-only attribute.
bool permissionsRefuseThisUser();

// Makes this process trust the certificate authority in the PEM file, beside
// its own configuration: Schannel looks up issuers only in the system's
// stores, so on Windows it goes into the machine's root store (of the test
// Wine prefix). False if that failed.
bool trustCertificateAuthority(const QString &pemPath);

// Whether the system's own certificate check (Schannel's, on Windows) finds
// the signature of the certificate in certPath, issued by the authority in
// caPath, valid: a certificate it refuses fails every TLS handshake with it
// ("The signature of the certificate is invalid"), which this names before
// any test meets it. True where there is nothing to ask.
bool certificateSignatureChecks(const QString &certPath, const QString &caPath);

// Puts a file at the path that opens but cannot be read by this process;
// false where the platform gives no such file to this user.
bool makeUnreadableFile(const QString &path);

// Takes every permission of an existing file or folder away so that this
// thread can neither read nor list it, as a folder of another user or a file
// locked by another program would be; root's override of permissions is
// suspended for the thread until makeReadableAgain. False where the platform
// gives no such entry to this user (Windows under Wine keeps no access lists).
bool makeUnreadable(const QString &path);
bool makeReadableAgain(const QString &path);

// A symbolic link at linkPath to target, as the platform makes one (QFile::link
// makes a shortcut file on Windows, which is no link at all).
bool link(const QString &target, const QString &linkPath);

// Renames a file to another spelling of the same name ("Rapor.docx" to
// "rapor.docx") as a user does; under Wine, whose own rename finds the target
// already there on a host file system that keeps letter case, on the host.
bool renameLetterCase(const QString &from, const QString &to);

} // namespace TestPlatform
