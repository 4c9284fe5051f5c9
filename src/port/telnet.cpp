#include "port/telnet.h"

namespace telnet {

namespace {

enum : uchar { Se = 240, Sb = 250, Will = 251, Wont = 252, Do = 253, Dont = 254 };
enum : uchar { Binary = 0, SuppressGoAhead = 3 };

bool weOffer(uchar option)
{
    return option == Binary || option == SuppressGoAhead || option == ComPortOption;
}

// Echo is refused: the far end is a board, and what is sent must not come back from the server.
bool weAccept(uchar option)
{
    return option == Binary || option == SuppressGoAhead;
}

void append(QByteArray *out, uchar verb, uchar option)
{
    out->append(char(Iac)).append(char(verb)).append(char(option));
}

} // namespace

QByteArray escape(const QByteArray &data)
{
    if (!data.contains(char(Iac)))
        return data;
    QByteArray out;
    out.reserve(data.size() + data.count(char(Iac)));
    for (const char c : data) {
        out.append(c);
        if (uchar(c) == Iac)
            out.append(c);
    }
    return out;
}

QByteArray comPortCommand(ComPortCommand command, const QByteArray &value)
{
    QByteArray out;
    out.append(char(Iac)).append(char(Sb)).append(char(ComPortOption)).append(char(command));
    out.append(escape(value));
    out.append(char(Iac)).append(char(Se));
    return out;
}

QByteArray setBaudRate(quint32 baud)
{
    const char value[4] = {char(baud >> 24), char(baud >> 16), char(baud >> 8), char(baud)};
    return comPortCommand(ComPortCommand::SetBaudRate, QByteArray(value, 4));
}

QByteArray Client::greeting()
{
    QByteArray out;
    for (const uchar option : {uchar(Binary), uchar(SuppressGoAhead), ComPortOption}) {
        m_local[option] = WantYes;
        append(&out, Will, option);
    }
    for (const uchar option : {uchar(Binary), uchar(SuppressGoAhead)}) {
        m_remote[option] = WantYes;
        append(&out, Do, option);
    }
    return out;
}

QByteArray Client::decode(const QByteArray &received, QByteArray *replies)
{
    QByteArray data;
    if (m_broken)
        return data;
    data.reserve(received.size());
    for (const char c : received) {
        const auto byte = uchar(c);
        switch (m_state) {
        case State::Data:
            if (byte == Iac)
                m_state = State::Iac;
            else
                data.append(c);
            break;
        case State::Iac:
            if (byte == Iac) {
                data.append(c);
                m_state = State::Data;
            } else if (byte >= Will) {
                m_verb = byte;
                m_state = State::Verb;
            } else if (byte == Sb) {
                m_sub.clear();
                m_state = State::Sub;
            } else {
                // NOP, go-ahead, data mark and the like carry nothing for a serial line.
                m_state = State::Data;
            }
            break;
        case State::Verb:
            negotiate(m_verb, byte, replies);
            m_state = State::Data;
            break;
        case State::Sub:
            if (byte == Iac) {
                m_state = State::SubIac;
            } else if (m_sub.size() >= MaxSubnegotiation) {
                m_broken = true;
                return data;
            } else {
                m_sub.append(c);
            }
            break;
        case State::SubIac:
            if (byte == Iac) {
                m_sub.append(c);
                m_state = State::Sub;
            } else if (byte == Se) {
                // Answers to our settings and the line and modem state notifications: the
                // server's word on its port, never the board's data.
                m_sub.clear();
                m_state = State::Data;
            } else {
                m_broken = true;
                return data;
            }
            break;
        }
    }
    return data;
}

// RFC 1143's rules, without queueing: a request is answered only when it changes the state, so
// two ends never loop on each other.
void Client::negotiate(uchar verb, uchar option, QByteArray *replies)
{
    if (verb == Do || verb == Dont) {
        Side &side = m_local[option];
        if (verb == Do && side == No) {
            side = weOffer(option) ? Yes : No;
            append(replies, side == Yes ? Will : Wont, option);
        } else if (verb == Do) {
            side = Yes;
        } else if (side != No) {
            if (side == Yes)
                append(replies, Wont, option);
            else if (option == ComPortOption)
                m_comPortRefused = true;
            side = No;
        }
        return;
    }
    Side &side = m_remote[option];
    if (verb == Will && side == No) {
        side = weAccept(option) ? Yes : No;
        append(replies, side == Yes ? Do : Dont, option);
    } else if (verb == Will) {
        side = Yes;
    } else if (side != No) {
        if (side == Yes)
            append(replies, Dont, option);
        side = No;
    }
}

} // namespace telnet
