// The update check: once per start, on the start-up thread, the product web site's reply says
// whether a newer version is published and brings the notice shown on page 1.
#pragma once

// The longest notice taken from a reply, in bytes, and how much of an unrecognised reply is shown.
constexpr int NOTICE_MAX_BYTES = 8191;
constexpr int UNRECOGNISED_REPLY_SHOWN = 386;

// Asks "checkUpdate.asp?v=6.9" of the product web site. Field 2 of the reply (UTF-8) becomes the
// notice box's text; field 1 "true" offers the download page, "false" says nothing, anything else
// is shown as unrecognised. A site that cannot be reached shows nothing.
void checkForUpdate();
