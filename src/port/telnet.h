#pragma once

#include <QByteArray>

#include <array>

// The telnet side of a network serial port (RFC 854, 855, 856 and 2217), as a client: it turns
// what the server sends into the board's bytes and the replies owed to the server, and builds the
// commands that set the remote port. Pure bytes in and out, so that every split of a stream into
// reads can be tested.
namespace telnet {

inline constexpr uchar Iac = 255;
inline constexpr uchar ComPortOption = 44;

// RFC 2217 client commands; the server answers each with the same number plus 100.
enum class ComPortCommand : uchar {
    Signature = 0,
    SetBaudRate = 1,
    SetDataSize = 2,
    SetParity = 3,
    SetStopSize = 4,
    SetControl = 5,
};
// Values of SET-PARITY, SET-STOPSIZE and SET-CONTROL.
enum : uchar { ParityNone = 1, ParityOdd = 2, ParityEven = 3, ParityMark = 4, ParitySpace = 5 };
enum : uchar { StopOne = 1, StopTwo = 2, StopOneAndHalf = 3 };
enum : uchar {
    ControlNoFlow = 1,
    ControlBreakOn = 5,
    ControlBreakOff = 6,
    ControlDtrOn = 8,
    ControlDtrOff = 9,
    ControlRtsOn = 11,
    ControlRtsOff = 12,
};

// Each 0xFF of data doubled, as telnet sends it.
[[nodiscard]] QByteArray escape(const QByteArray &data);
// IAC SB COM-PORT-OPTION command value IAC SE, the value escaped.
[[nodiscard]] QByteArray comPortCommand(ComPortCommand command, const QByteArray &value);
[[nodiscard]] QByteArray setBaudRate(quint32 baud);

class Client
{
public:
    // The longest subnegotiation taken; a server that goes on past it is not speaking telnet.
    static constexpr qsizetype MaxSubnegotiation = 1024;

    // What the client asks for on connecting: binary both ways, suppress-go-ahead both ways, and
    // to send COM-PORT-OPTION commands.
    [[nodiscard]] QByteArray greeting();
    // Takes the next bytes from the server, in whatever pieces they came: returns the data they
    // carry and appends to replies what the negotiation owes the server.
    [[nodiscard]] QByteArray decode(const QByteArray &received, QByteArray *replies);

    // The server said DO COM-PORT-OPTION, or refused it.
    [[nodiscard]] bool comPortAccepted() const { return local(ComPortOption) == Yes; }
    [[nodiscard]] bool comPortRefused() const { return m_comPortRefused; }
    // The server broke the protocol; nothing it sends after is data.
    [[nodiscard]] bool broken() const { return m_broken; }

private:
    enum Side : uchar { No, Yes, WantYes };
    enum class State : uchar { Data, Iac, Verb, Sub, SubIac };

    [[nodiscard]] Side local(uchar option) const { return m_local[option]; }
    void negotiate(uchar verb, uchar option, QByteArray *replies);

    std::array<Side, 256> m_local{};
    std::array<Side, 256> m_remote{};
    State m_state = State::Data;
    uchar m_verb = 0;
    QByteArray m_sub;
    bool m_comPortRefused = false;
    bool m_broken = false;
};

} // namespace telnet
