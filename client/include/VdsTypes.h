#ifndef VDSTYPES_H
#define VDSTYPES_H

/// Identifier kinds accepted by the kind overloads of VelDataClient
/// (for example `setInt(VDS_IDENT_OPCUA, "ns=2;s=Speed", 5)`).
/// A value other than these two is not rejected; the request then carries an
/// identifier of kind "unknown" and the server decides.
enum VDS_IDENT_CONSTS
{
    VDS_IDENT_OPCUA = 200002, ///< an OPC UA value, named by its key
    VDS_IDENT_MQTT = 200003,  ///< an MQTT value, named by its key
};

/// What VelDataClient::getDataType() reports about a stored value.
enum VdsDataType
{
    VdsTypeUnknown = 100, ///< no value known, or not a value type
    VdsTypeString = 101,
    VdsTypeDouble = 102,
    VdsTypeInt = 103,
    VdsTypeBool = 104,
    VdsTypeStringList = 105,
    VdsTypeDoubleList = 106,
    VdsTypeIntList = 107,
    VdsTypeFile = 108,
    VdsTypeVariant = 109,
};

/// Why the last call of a VelDataClient failed, as VelDataClient::lastErrorCode()
/// reports it beside the text of lastError(). The numbers never change meaning.
enum VdsErrorCode
{
    VdsErrorNone = 0,          ///< nothing has failed yet
    VdsErrorNoApplication = 1, ///< the process has no QCoreApplication
    /// No VelDataServer program was found, or it could not be started.
    VdsErrorServerNotStarted = 2,
    /// The server cannot be reached (not running and not to be started, or
    /// refusing connections), or the connection was lost during the request.
    VdsErrorNoConnection = 3,
    /// The server refused the request; lastError() holds its message.
    VdsErrorServerRefused = 4,
    /// The server answered that there is no such value; lastError() keeps
    /// the text of the failure before.
    VdsErrorNotFound = 5,
    VdsErrorTimeout = 6, ///< no answer in time
    /// The TLS handshake failed, or the server's certificate is not the
    /// pinned one (or the pin asks for TLS and the connection has none).
    VdsErrorTlsRefused = 7,
    /// The library refused the call's own input (a null output pointer);
    /// lastError() keeps the text of the failure before.
    VdsErrorBadArgument = 8,
    /// A fetched file could not be saved ("Cannot save the file: ...").
    VdsErrorFile = 9,
};

#endif // VDSTYPES_H
