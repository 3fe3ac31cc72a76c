// The tables of the working-mode gate: which OIDs need the modem's normal mode, which indication answers
// a set, which OIDs the normal mode watches, and what passes in POC mode.
#include "filter.h"

const MODE_SWITCH_OID_ENTRY ModeSwitchOidTable[] = {
    {OID_WWAN_AUTH_CHALLENGE, 0, 1, 0, 1, 7},
    {OID_WWAN_CONNECT, 1, 0, 0, 1, 8},
    {OID_WWAN_CREATE_MAC, 1, 0, 0, 1, 9},
    {OID_WWAN_DELETE_MAC, 1, 0, 0, 1, 9},
    {OID_WWAN_DEVICE_RESET, 1, 0, 0, 1, 11},
    {OID_WWAN_DEVICE_SERVICE_SESSION, 1, 0, 0, 1, 12},
    {OID_WWAN_DEVICE_SERVICE_SESSION_WRITE, 1, 0, 0, 1, 13},
    {OID_WWAN_SYS_SLOTMAPPINGS, 1, 0, 0, 1, 6},
    {OID_WWAN_HOME_PROVIDER, 1, 0, 0, 1, 14},
    {OID_WWAN_LTE_ATTACH_CONFIG, 1, 0, 0, 1, 15},
    {OID_WWAN_MODEM_LOGGING_CONFIG, 1, 0, 0, 1, 16},
    {OID_WWAN_MPDP, 1, 1, 0, 1, 17},
    {OID_WWAN_NETWORK_BLACKLIST, 1, 0, 0, 1, 18},
    {OID_WWAN_PACKET_SERVICE, 1, 0, 0, 1, 21},
    {OID_WWAN_PIN, 1, 0, 0, 1, 4},
    {OID_WWAN_PIN_EX, 1, 0, 0, 1, 4},
    {OID_WWAN_PIN_EX2, 1, 0, 0, 1, 4},
    {OID_WWAN_PREFERRED_MULTICARRIER_PROVIDERS, 1, 0, 0, 1, 22},
    {OID_WWAN_PREFERRED_PROVIDERS, 1, 0, 0, 1, 22},
    {OID_WWAN_PROVISIONED_CONTEXTS, 1, 0, 0, 1, 24},
    {OID_WWAN_RADIO_STATE, 1, 0, 0, 1, 3},
    {OID_WWAN_REGISTER_PARAMS, 1, 0, 0, 1, 25},
    {OID_WWAN_REGISTER_STATE, 1, 0, 0, 1, 26},
    {OID_WWAN_REGISTER_STATE_EX, 1, 0, 0, 1, 26},
    {OID_WWAN_SAR_CONFIG, 1, 0, 0, 1, 27},
    {OID_WWAN_SAR_TRANSMISSION_STATUS, 1, 0, 0, 1, 27},
    {OID_WWAN_SERVICE_ACTIVATION, 1, 0, 0, 1, 28},
    {OID_WWAN_SIGNAL_STATE, 1, 0, 0, 1, 29},
    {OID_WWAN_SIGNAL_STATE_EX, 1, 0, 0, 1, 29},
    {OID_WWAN_SMS_CONFIGURATION, 1, 0, 0, 1, 30},
    {OID_WWAN_SMS_DELETE, 1, 0, 0, 1, 30},
    {OID_WWAN_SMS_SEND, 1, 0, 0, 1, 30},
    {OID_WWAN_SMS_READ, 0, 1, 0, 1, 30},
    {OID_WWAN_SMS_STATUS, 0, 1, 0, 1, 30},
    {OID_WWAN_UICC_ACCESS_BINARY, 1, 0, 0, 1, 31},
    {OID_WWAN_UICC_ACCESS_RECORD, 1, 0, 0, 1, 31},
    {OID_WWAN_UICC_RESET, 1, 0, 0, 1, 31},
    {OID_WWAN_UICC_OPEN_CHANNEL, 1, 0, 0, 1, 31},
    {OID_WWAN_UICC_CLOSE_CHANNEL, 1, 0, 0, 1, 31},
    {OID_WWAN_UICC_APDU, 1, 0, 0, 1, 31},
    {OID_WWAN_UICC_TERMINAL_CAPABILITY, 1, 0, 0, 1, 31},
    {OID_WWAN_USSD, 1, 0, 0, 1, 32},
};
const ULONG64 ModeSwitchOidTableRows = sizeof(ModeSwitchOidTable) / sizeof(ModeSwitchOidTable[0]);
const ULONG64 ModeSwitchOidTableRowSize = sizeof(ModeSwitchOidTable[0]);

const EXPECTED_INDICATION_ENTRY ExpectedIndicationTable[] = {
    {OID_WWAN_CONNECT, ULONG(NDIS_STATUS_WWAN_CONTEXT_STATE)},
    {OID_WWAN_SYS_SLOTMAPPINGS, ULONG(NDIS_STATUS_WWAN_DEVICE_SLOT_MAPPING_INFO)},
    {OID_WWAN_LTE_ATTACH_CONFIG, ULONG(NDIS_STATUS_WWAN_LTE_ATTACH_CONFIG)},
    {OID_WWAN_NETWORK_BLACKLIST, ULONG(NDIS_STATUS_WWAN_NETWORK_BLACKLIST)},
    {OID_WWAN_PACKET_SERVICE, ULONG(NDIS_STATUS_WWAN_PACKET_SERVICE)},
    {OID_WWAN_REGISTER_STATE_EX, ULONG(NDIS_STATUS_WWAN_REGISTER_STATE)},
    {OID_WWAN_REGISTER_STATE, ULONG(NDIS_STATUS_WWAN_REGISTER_STATE)},
    {OID_WWAN_PIN, ULONG(NDIS_STATUS_WWAN_PIN_INFO)},
    {OID_WWAN_PIN_EX, ULONG(NDIS_STATUS_WWAN_PIN_INFO)},
    {OID_WWAN_PIN_EX2, ULONG(NDIS_STATUS_WWAN_PIN_INFO)},
    {OID_WWAN_RADIO_STATE, ULONG(NDIS_STATUS_WWAN_RADIO_STATE)},
    {OID_WWAN_REGISTER_PARAMS, ULONG(NDIS_STATUS_WWAN_REGISTER_PARAMS_STATE)},
    {OID_WWAN_UICC_OPEN_CHANNEL, ULONG(NDIS_STATUS_WWAN_UICC_OPEN_CHANNEL_INFO)},
    {OID_WWAN_UICC_CLOSE_CHANNEL, ULONG(NDIS_STATUS_WWAN_UICC_CLOSE_CHANNEL_INFO)},
    {OID_WWAN_UICC_APDU, ULONG(NDIS_STATUS_WWAN_UICC_APDU_INFO)},
    {OID_WWAN_UICC_TERMINAL_CAPABILITY, ULONG(NDIS_STATUS_WWAN_UICC_TERMINAL_CAPABILITY_INFO)},
};
const ULONG ExpectedIndicationTableRows = sizeof(ExpectedIndicationTable) / sizeof(ExpectedIndicationTable[0]);

const PER_OID_HANDLER_ENTRY PerOidHandlerTable[] = {
    {OID_WWAN_UICC_OPEN_CHANNEL, OidHandleUiccOpenChannel},
    {OID_WWAN_UICC_CLOSE_CHANNEL, OidHandleUiccCloseChannel},
    {OID_WWAN_UICC_APDU, OidHandleUiccApdu},
    {OID_WWAN_SYS_SLOTMAPPINGS, OidHandleSlotMappings},
    {OID_WWAN_DEVICE_CAPS_EX, OidHandleDeviceCapsEx},
    {OID_WWAN_CONNECT, OidArmExpectedIndication},
    {OID_WWAN_LTE_ATTACH_CONFIG, OidArmExpectedIndication},
    {OID_WWAN_PIN, OidArmExpectedIndication},
    {OID_WWAN_PIN_EX, OidArmExpectedIndication},
    {OID_WWAN_PIN_EX2, OidArmExpectedIndication},
    {OID_WWAN_RADIO_STATE, OidArmExpectedIndication},
    {OID_WWAN_REGISTER_STATE_EX, OidArmExpectedIndication},
    {OID_WWAN_REGISTER_STATE, OidArmExpectedIndication},
    {OID_WWAN_REGISTER_PARAMS, OidArmExpectedIndication},
    {OID_WWAN_NETWORK_BLACKLIST, OidArmExpectedIndication},
    {OID_WWAN_PACKET_SERVICE, OidArmExpectedIndication},
};
const ULONG PerOidHandlerTableRows = sizeof(PerOidHandlerTable) / sizeof(PerOidHandlerTable[0]);

// In this order; the empty text ends the list.
const char* const AtAllowList[] = {
    "AT+GTDUALSIM", "AT+CSIM", "AT+CCHO", "AT+CCHC", "AT+CGLA", "AT+CGSN", "AT+GTPCTPOC", "AT+ESBP", "AT+ESIMMAP", "",
};

// The ISD-R's application id.
const UCHAR ISDR_AID[16] = {0xA0, 0x00, 0x00, 0x05, 0x59, 0x10, 0x10, 0xFF,
                            0xFF, 0xFF, 0xFF, 0x89, 0x00, 0x00, 0x01, 0x00};

namespace
{

const MODE_SWITCH_OID_ENTRY* FindModeSwitchRow(NDIS_OID Oid)
{
    for (ULONG64 i = 0; i < ModeSwitchOidTableRows; i++)
        if (ModeSwitchOidTable[i].Oid == Oid)
            return &ModeSwitchOidTable[i];
    return nullptr;
}

} // namespace

UCHAR IsModeSwitchOid(PNDIS_OID_REQUEST Request)
{
    const MODE_SWITCH_OID_ENTRY* row = FindModeSwitchRow(OidRequestOid(Request));
    if (row == nullptr)
        return 0;
    switch (Request->RequestType) {
    case NdisRequestSetInformation:
    case NdisRequestMethod:
        return row->GateOnSet;
    case NdisRequestQueryInformation:
    case NdisRequestQueryStatistics:
        return row->GateOnQuery;
    default:
        return 0;
    }
}

MODE_SWITCH_GROUP LookupModeSwitchGroup(NDIS_OID Oid)
{
    const MODE_SWITCH_OID_ENTRY* row = FindModeSwitchRow(Oid);
    return MODE_SWITCH_GROUP{1, row != nullptr ? row->Group : 2};
}

ULONG LookupExpectedIndication(PNDIS_OID_REQUEST Request)
{
    if (!OidRequestIsSet(Request))
        return TRACKER_STATUS_IDLE;
    NDIS_OID oid = OidRequestOid(Request);
    for (ULONG i = 0; i < ExpectedIndicationTableRows; i++)
        if (ExpectedIndicationTable[i].Oid == oid)
            return ExpectedIndicationTable[i].Status;
    return TRACKER_STATUS_IDLE;
}
