#pragma once

#include <QByteArrayView>

// The two certificate authorities GigaChat's servers chain to, the only trust
// anchors the transport gives curl. Standard Base64 of the DER, one line each.
namespace GigaChatCertificates {

// C=RU, O=The Ministry of Digital Development and Communications, CN=Russian Trusted Root CA;
// valid 2022-03-01 21:04:15 to 2032-02-27 21:04:15 UTC; 1,478 bytes of DER.
QByteArrayView rootBase64();

// Same C and O, CN=Russian Trusted Sub CA, issued by the root;
// valid 2022-03-02 11:25:19 to 2027-03-06 11:25:19 UTC; 1,862 bytes of DER.
QByteArrayView subBase64();

} // namespace GigaChatCertificates
