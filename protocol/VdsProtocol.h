#ifndef VDSPROTOCOL_H
#define VDSPROTOCOL_H

#include <QStringList>

/// The protocol's vocabulary, shared by the client library, the server, the
/// tools and the tests: type and response codes on the wire, the finish codes
/// a waiting call gets, the time limits of those waits, the machine-wide
/// settings and the names both sides agree on. Numbers and texts that cross a
/// process boundary are written here once and named everywhere else.
namespace VdsProtocol {

/// Type code in a frame's header.
enum PackageType : int
{
    ActionType = 1,
    AutoUpdateType = 2,
    StringType = 3,
    DoubleType = 4,
    IntType = 5,
    BoolType = 6,
    StringListType = 7,
    DoubleListType = 8,
    IntListType = 9,
    FileType = 10,
    VariantType = 11,
    CommandType = 12,
    ResponseType = 14,
    IdentifyType = 15,
    StatusAgentType = 16,
};

/// The server's outcome of one request, carried by a response package.
enum ResponseCode : int
{
    ResponseDone = 2,             ///< the request was carried out
    ResponseAccepted = 3,         ///< done as well; clients do not tell it from Done
    ResponseNotFound = 4,         ///< done, but there was no such value
    ResponseFailed = 5,           ///< not done; the message says why
    ResponseInitAcknowledged = 6, ///< the answer to a client's identify package
};

/// How a call's wait for its package id ended.
enum FinishCode : int
{
    FinishTimedOut = 0,      ///< no answer within the limit
    FinishDone = 1,          ///< done (response code 2 or 3)
    FinishNotFound = 2,      ///< done, response code 4
    FinishNoConnection = -9, ///< no connection, or it was lost while waiting
    FinishFailed = -10,      ///< the server answered code 5
};

/// Identifier kinds as Identifier::typeIndex() numbers them.
enum IdentifierKind : int
{
    UnknownKind = 0,
    RuntimeKind = 1,
    GlobalsKind = 2,
    OpcuaKind = 3,
    MqttKind = 4,
};

/// The identifier kinds callers pass to the kind overloads, the numbers of
/// the public VDS_IDENT_CONSTS.
enum IdentifierConst : int
{
    OpcuaConst = 200002,
    MqttConst = 200003,
};

/// getDataType()'s numbers: a value package's type code maps onto
/// DataTypeFirst + (code - StringType); anything else is DataTypeUnknown.
constexpr int DataTypeUnknown = 100;
constexpr int DataTypeFirst = 101;

/// Time limits of a call's wait, in milliseconds.
constexpr int RequestTimeoutMs = 5000;
/// A file being fetched: counted from the last chunk received.
constexpr int GetFileTimeoutMs = 20000;
/// A file being stored: counted from the last chunk sent.
constexpr int SetFileTimeoutMs = 5000;
/// establishConnection()'s wait for the server's answer to identify.
constexpr int InitTimeoutMs = 5000;
/// How long a client that started the server polls for it to be ready, and
/// so how long a server starting at the same moment waits for the other.
constexpr int ServerStartWaitMs = 10000;

/// Name of the shared-memory block whose existence says the server is ready.
constexpr char ReadinessKey[] = "VelDataServer-Ready";
/// The server's program name, as the client looks for it.
constexpr char ServerProgram[] = "VelDataServer";
/// The organization the server files its data folder under: by default
/// <data location>/Haltra/VelDataServer, where its log is kept too.
constexpr char ServerOrganization[] = "Haltra";
/// The server's log file in its data folder.
constexpr char ServerLogName[] = "VelDataServer.log";
/// The command that makes every client drop its cache of runtime values
/// (compared without regard to case).
constexpr char ClearCacheCommand[] = "clear clients cache";

/// Bytes of a payload read as one chunk.
constexpr int PayloadChunkSize = 65536;
/// Size of a frame's header: type code, package id, payload size.
constexpr int HeaderSize = 16;

/// The machine-wide settings that the client library and the server read, in
/// the registry key (or INI file, see platform/vedezid.h) below.
namespace Settings {

constexpr char Group[] = "Software\\Haltra\\VelDataServer\\Settings";

constexpr char ServerPort[] = "serverPort";
constexpr long DefaultServerPort = 37073;
/// Not 0: the connection uses TLS.
constexpr char Encryption[] = "encryption";
/// 0: a client must not start the server itself.
constexpr char StartServerOnRequest[] = "startServerOnRequest";
/// SHA-256 digest (hex) of the certificate a TLS client accepts.
constexpr char ServerCertificateSha256[] = "serverCertificateSha256";

inline QStringList all()
{
    return {QLatin1String(ServerPort), QLatin1String(Encryption),
            QLatin1String(StartServerOnRequest), QLatin1String(ServerCertificateSha256)};
}

} // namespace Settings

} // namespace VdsProtocol

#endif // VDSPROTOCOL_H
