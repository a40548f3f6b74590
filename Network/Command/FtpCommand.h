// The control channel of one upload: each command's line and the handling of its reply, over the control
// connection of one FtpFilePoster. The upload worker builds one per job and calls the commands in order;
// outcomes go into the poster's state bits and error code, never out as exceptions.
#pragma once

#include <winsock2.h>

#include <string>

#include "Network/Command/FtpReplyReader.h"
#include "classlib/CString.h"

class FtpFilePoster;

class FtpCommand {
public:
    explicit FtpCommand(FtpFilePoster* poster);
    virtual ~FtpCommand() = default;
    FtpCommand(const FtpCommand&) = delete;
    FtpCommand& operator=(const FtpCommand&) = delete;

    // Sends one whole command line (CR LF included), however many sends it takes. A failure is error 7.
    virtual bool SendCommand(const std::string& line);
    // Reads one complete reply into reply and parses it into the poster's response. A receive that fails,
    // times out or outgrows the bound is error 20; a connection the server closed gives an empty reply.
    virtual bool RecvResponse(std::string& reply);
    // As RecvResponse, but gives up after one second without a byte: the reply then counts as empty (code 0).
    // Only an over-long reply is an error (20).
    virtual bool RecvAllResponse(std::string& reply);

    // The server's greeting; its code is not examined.
    void RecvWelcome();
    // The final reply after the data transfer, unparsed; false when no complete reply came.
    bool RecvRaw(std::string& reply);

    void User();
    void Pass();
    void Feat();
    void Clnt();
    void OptsUtf8();
    void Pwd();
    void Mkd();
    void Cwd();
    // Makes and enters each component of path, relative to the folder the login led to.
    void MakeRemotePath(const CString& path);
    void Type();
    void Size();
    // On 227, the data address: the control connection's peer with the port from the reply.
    bool Pasv(sockaddr_in& address);
    void Rest();
    void Stor();
    void Appe();
    void Quit();

    // The port of a 227 reply's text ("Entering Passive Mode (h1,h2,h3,h4,p1,p2)."), or 0 when the six
    // numbers are not there.
    static unsigned short ParsePassivePort(const std::string& text);

private:
    // A command runs only while no error has ended the job and, when bit is not 0, while bit stands.
    bool MayRun(unsigned bit) const;
    // The wire form of a name argument; false (and error 7) when it holds CR, LF or NUL, which would let the
    // text carry a command of its own.
    bool EncodeArgument(const CString& text, bool utf8, std::string& out);
    bool Receive(std::string& reply, bool withinSilence);

    SOCKET socket_;
    FtpFilePoster* poster_;
    FtpReplyReader reader_;
};
