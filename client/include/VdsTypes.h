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

#endif // VDSTYPES_H
