#!/usr/bin/env python3
"""Hostile mail servers on loopback for the monitor's tests.

Prints one line "NAME PORT" for each server, then "ready", and serves until
it is ended or its parent goes. Some servers then tell when a client comes
and goes ("open NAME", "closed NAME"). Each server misbehaves in one way, at once or
after a plausible start of the dialogue.
"""
import os
import socket
import struct
import sys
import threading
import time

BEHAVIOURS = {}


def behaviour(name):
    def register(function):
        BEHAVIOURS[name] = function
        return function
    return register


def send_forever(connection, chunk):
    try:
        while True:
            connection.sendall(chunk)
    except OSError:
        pass


@behaviour("endless")
def endless(connection):  # an endless greeting line
    send_forever(connection, b"* OK " + b"x" * 65536)


@behaviour("endless-lines")
def endless_lines(connection):  # endless untagged lines after LOGIN
    connection.sendall(b"* OK ready\r\n")
    connection.recv(4096)
    connection.sendall(b"* CAPABILITY IMAP4rev1\r\nA0001 OK done\r\n")
    connection.recv(4096)
    send_forever(connection, b"* 1 EXISTS\r\n" * 4096)


@behaviour("no-line-ends")
def no_line_ends(connection):
    send_forever(connection, b"+OK" + b" 7" * 30000)


@behaviour("nul-bytes")
def nul_bytes(connection):
    send_forever(connection, b"\0" * 65536)


@behaviour("huge-numbers")
def huge_numbers(connection):  # POP3 counts beyond 32 bits
    replies = [b"+OK hello\r\n", b"+OK\r\n", b"+OK\r\n", b"+OK 99999999999999999999 12\r\n",
               b"+OK 4294967297\r\n", b"+OK bye\r\n"]
    connection.sendall(replies[0])
    for reply in replies[1:]:
        if not connection.recv(4096):
            return
        connection.sendall(reply)


@behaviour("late")
def late(connection):  # answers only after the reply wait has passed
    time.sleep(2.5)
    connection.sendall(b"+OK late\r\n")
    time.sleep(30)


@behaviour("reset")
def reset(connection):  # resets mid-reply
    connection.sendall(b"* OK [CAPABILITY IMAP4rev1 LOGIN")
    connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    connection.close()


@behaviour("broken-tls")
def broken_tls(connection):  # a TLS port that answers the hello with garbage
    connection.recv(4096)
    connection.sendall(b"\x16\x03\x03\x00\x10" + b"\xff" * 16 + b"garbage" * 100)
    time.sleep(2)


@behaviour("silent")
def silent(connection):  # accepts and never answers
    time.sleep(120)


@behaviour("silent-tls")
def silent_tls(connection):  # a TLS port that takes the hello and never answers
    time.sleep(120)


@behaviour("trickle")
def trickle(connection):  # a greeting that never ends, a byte at a time
    say("open trickle")
    try:
        for _ in range(3000):
            connection.sendall(b"*")
            time.sleep(0.1)
    finally:
        say("closed trickle")


def imap_lines(connection):
    """The client's command lines, each as its tag and its command word."""
    pending = b""
    while True:
        chunk = connection.recv(4096)
        if not chunk:
            return
        pending += chunk
        while b"\n" in pending:
            line, pending = pending.split(b"\n", 1)
            words = line.strip().split(b" ")
            yield words[0], words[1].upper() if len(words) > 1 else b""


def imap_session(connection, login, capabilities=b"IMAP4rev1 IDLE", idle=None):
    """An IMAP server up to IDLE: LOGIN answered by `login`, STATUS with 9
    messages and 4 unseen; `idle` plays once the client is in IDLE."""
    connection.sendall(b"* OK ready\r\n")
    for tag, word in imap_lines(connection):
        if word == b"CAPABILITY":
            connection.sendall(b"* CAPABILITY " + capabilities + b"\r\n" + tag + b" OK\r\n")
        elif word == b"LOGIN":
            reply = login()
            connection.sendall(tag + b" " + reply + b"\r\n")
            if not reply.startswith(b"OK"):
                return
        elif word == b"STATUS":
            connection.sendall(b"* STATUS INBOX (MESSAGES 9 UNSEEN 4)\r\n" + tag + b" OK\r\n")
        elif word in (b"NOTIFY", b"EXAMINE", b"LIST"):
            connection.sendall(tag + b" OK\r\n")
        elif word == b"IDLE" and idle:
            connection.sendall(b"+ idling\r\n")
            idle(connection)
            return
        else:
            connection.sendall(tag + b" NO\r\n")


@behaviour("limit")
def limit(connection):  # refuses one more connection, as dovecot does at its limit
    imap_session(connection, lambda: b"NO [LIMIT] Maximum number of connections from user+IP "
                 b"exceeded (mail_max_userip_connections=10)")


@behaviour("late-no")
def late_no(connection):  # refuses the password after 2 s, as dovecot does by default
    def refuse():
        time.sleep(2)
        return b"NO [AUTHENTICATIONFAILED] Authentication failed."
    imap_session(connection, refuse)


@behaviour("bye")
def bye(connection):  # counts, then says BYE in the middle of IDLE
    imap_session(connection, lambda: b"OK", idle=lambda c: c.sendall(b"* BYE going down\r\n"))


@behaviour("flood")
def flood(connection):  # NOTIFY news without end
    imap_session(connection, lambda: b"OK", b"IMAP4rev1 IDLE NOTIFY",
                 lambda c: send_forever(c, b"* STATUS INBOX (MESSAGES 9 UNSEEN 4)\r\n" * 512))


printing = threading.Lock()


def say(line):
    with printing:
        print(line, flush=True)


def serve(listener, function):
    while True:
        connection, _ = listener.accept()
        threading.Thread(target=run, args=(connection, function), daemon=True).start()


def run(connection, function):
    try:
        function(connection)
    except OSError:
        pass
    finally:
        try:
            connection.close()
        except OSError:
            pass


def main():
    # Arguments NAME=HOST:PORT place a server; the others take a free port.
    places = dict(argument.split("=", 1) for argument in sys.argv[1:])
    for name, function in BEHAVIOURS.items():
        host, port = places.get(name, "127.0.0.1:0").rsplit(":", 1)
        listener = socket.socket()
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind((host, int(port)))
        listener.listen(16)
        say("%s %d" % (name, listener.getsockname()[1]))
        threading.Thread(target=serve, args=(listener, function), daemon=True).start()
    say("ready")
    parent = os.getppid()
    while os.getppid() == parent:
        time.sleep(0.5)


main()
