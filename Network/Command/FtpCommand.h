// The control channel of one upload: each command's line and the handling of its reply, over the control
// connection of one FtpFilePoster. The upload worker builds one per job and calls the commands in order;
// outcomes go into the poster's state bits and error code, never out as exceptions.
#pragma once

#include <winsock2.h>

#include <atomic>
#include <cstdint>
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
    // outgrows the bound or misses the reply's deadline (the I/O time-out from the command's send) is error
    // 20; a connection the server closed gives an empty reply. A stop request ends the wait: the job is
    // then stopped.
    virtual bool RecvResponse(std::string& reply);
    // As RecvResponse; the reply is logged as a collected one.
    virtual bool RecvAllResponse(std::string& reply);

    // The server's greeting; its code is not examined.
    void RecvWelcome();
    // The final reply after the data transfer, unparsed; false when no complete reply came within the I/O
    // time-out from now, or from allowance milliseconds later (while the server may still be receiving).
    // The job's stop request does not end this wait; stop, when given, does.
    bool RecvRaw(std::string& reply, const std::atomic<bool>* stop = nullptr, uint64_t allowance = 0);

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

    // One command step as the table in the source describes it (its verb, argument, gate, reply reader and
    // what each reply code does).
    struct Step;

private:
    // Sends step's line when the step may run and its argument can go on the wire; false when nothing (or
    // nothing complete) went out.
    bool Send(const Step& step);
    // Send, then the reply read and its code applied as the step says; false when no reply was read.
    bool Run(const Step& step);
    // A command runs only while no error or stop has ended the job and, when bit is not 0, while bit
    // stands. A stop request seen here stops the job.
    bool MayRun(unsigned bit) const;
    // The wire form of a name argument; false (and error 7) when it holds CR, LF or NUL, which would let the
    // text carry a command of its own, or, when exact, when the encoding cannot hold every character.
    bool EncodeArgument(const CString& text, bool utf8, std::string& out, bool exact = false);
    // collected: logged as a collected reply; stoppable: a stop request ends the wait.
    bool Receive(std::string& reply, bool collected, bool stoppable);

    SOCKET socket_;
    FtpFilePoster* poster_;
    FtpReplyReader reader_;
    // GetTickCount64 when the last command went out (or the connection was made): the reply's deadline
    // counts from here.
    uint64_t sentAt_;
};
