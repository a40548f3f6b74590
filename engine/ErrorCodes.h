// Every error code a page can read (the upload object's ErrorCode, the error events' and callbacks' code),
// each written once. Pages compare against these numbers: a value never changes.
#pragma once

enum PageErrorCode : int {
    // The upload job (FtpFilePoster and its commands).
    UserRejected = 5,  // the server refused the user name
    PassRejected = 6,  // the server refused the password
    SendFailed = 7,    // no connection to the server, a command (or a remote name) could not be sent, or the
                       // FEAT list did not arrive
    FileNotMapped = 14,   // the local file could not be opened for reading, or ended before its size
    TransferFailed = 16,  // STOR or APPE refused, or the data connection failed or was reset
    ReceiveFailed = 20,   // a reply did not arrive, or was too long
    PassiveFailed = 21,   // PASV refused, or its reply named no port
    // The upload object's own checks before a job starts.
    LocalFileEmpty = 8,   // LocalFile is empty
    RemoteFileEmpty = 9,  // RemoteFile is empty
    IpEmpty = 10,         // IP is empty
    UserNameEmpty = 11,   // UserName is empty
    FileTooLarge = 100,   // FileSize is greater than MaxFileSize
    // The file checks; 201 is also the upload check of a file of size 0.
    FileNotOpened = 200,  // the CRC-32 check could not open or read the file, or had no buffer
    FileEmpty = 201,      // the file is empty or could not be opened (its size reads as 0), or the MD5 check
                          // could not read it to its end
};
