# SPDX-License-Identifier: Apache-2.0
"""The records a run is expected to log, as named fragments: a list holds several records in their order, a text one
record; rows build a run's records by adding fragments end to end. Texts hold {placeholders} (see rows.values_of), and a
record starting with "~" is a regular expression over all of it."""

from harness.rows import BODY
from harness.sandbox import FALLBACK, sha256

# -- a run from its arguments to the resume state's name -----------------------

PARAMS = "Given param -> 1 {url} \nGiven param -> 2 {location}\nGiven check_SHA256sum -> {sum}"
ASKED = [PARAMS, "download location {dest}"]
# The gate's records: three that say yes, and those before it says no.
ENABLED = "Quenbury Enabled"
IN_PATCH = "DirectDownloadEnabled in zkpatch_data.plist"
IN_CLOUD = "DirectDownloadEnabled in Cloud and not under DS"
NO = "DirectDownloadEnabled key not available in all cases -> false"
SET_FALSE = "Quenbury -> set to false "
NOT_READ = "error in reading plist"
NOT_PARSED = "~error in reading plist Error Domain=NSCocoaErrorDomain Code=3840 .*"
NAMING = ["Inside resume plist file name generator", "Resume plist :{plist}"]
START = ASKED + [ENABLED] + NAMING
FOUND = ASKED + [ENABLED, "File already Exists"]
FETCHING = "Fetching resume data..for plist {state}"
RESUMING = [FETCHING, "The resume Plist size ->{state_size} bytes"]
UNUSABLE = START + [FETCHING, "Error in resume data..."]
USAGE = "Arguments are low\nusage: quenbury <url> <download-location> <sha256>"
REFUSED = "Refused download location: it must name a file inside the store directory"
NO_URL = "error in download url"
NOT_ENCODED = ["~Given param -> 1 http://h/.*", "Error in forming URL via addingPercentEncoding "]
NO_AGENT = [PARAMS, f"download location {FALLBACK}/store/a.pkg", NOT_READ, SET_FALSE]

# -- the move into place and the check -----------------------------------------

MOVE = r"~ file Downloaded location Optional\({partial_url}/[^/]+\), move location {dest_url}"
SAVED = "Download successful. File saved to: {dest_url}"
MOVED = [MOVE, SAVED]
# The move's record for a body in a fresh folder of the temporary folder, in a folder of our own beside one that
# another user took, and beside the destination's taken body folder.
FALLBACK_MOVED = MOVE.replace("{partial_url}", r"file:///var/tmp/quenbury-\w{6}")
BESIDE_TAKEN = MOVE.replace("{partial_url}", r"file://{agent}/store/shared/\.quenbury-partial-\w{6}")
OURS_BESIDE = MOVE.replace("{partial_url}", r"{partial_url}-\w{6}")
MISSING_STORE = "~Error moving the file: Error Domain=NSPOSIXErrorDomain Code=2 .*"
NO_STORE = START + [FALLBACK_MOVED, MISSING_STORE]


def checksum(digest: str = "{digest}") -> str:
    """The digest of the file at the destination, beside the checksum given."""
    return f"downloaded file checksum ->{digest}\nGiven checksum ->{{sum}}"


VERIFIED = [checksum(), "SHA256 checksum validated succesfully NSComparisonResult"]
NOT_MATCHED = "SHA256 checksum validation failed NSComparisonResult"
MISMATCH = [checksum(), NOT_MATCHED]
LANDED = [SAVED] + VERIFIED
FETCHED = [MOVE] + LANDED
SUCCESS = START + FETCHED
REJECTED = START + MOVED + MISMATCH
RESUMED = START + RESUMING + FETCHED
RESUMED_REJECTED = START + RESUMING + MOVED + MISMATCH
KEPT = FOUND + VERIFIED + ["SHA256 checksum validation passed"]
# What a failed run leaves in the store and the resume area: nothing.
NOTHING_LEFT = {"{agent}/store": [], "{partial}": "gone", "/private/tmp": []}
# An older file at the destination, and its check.
OLD = b"an older package"
OLD_CHECKED = [checksum(sha256(OLD)), NOT_MATCHED]
OLD_REPLACED = ["removing Old File"] + LANDED
# The body kept, and the rest of an entity one byte shorter after it.
BAD_SPLICE = MOVED + [checksum(sha256(BODY[:-1])), NOT_MATCHED]
# What a receiver taken over forged in place of the body.
FORGED = [checksum(sha256(bytes(b ^ 0xFF for b in BODY))), NOT_MATCHED]


def replacing(checked: list[str]) -> list[str]:
    """Something else at the destination, checked as `checked` says, and downloaded over, up to the move."""
    replace = "SHA256 checksum validation Failed, hence downloading new file and replacing"
    return FOUND + checked + [replace] + NAMING + [MOVE]


def replaced(checked: list[str]) -> list[str]:
    """Something else at the destination, checked as `checked` says, and the package downloaded over it."""
    return replacing(checked) + OLD_REPLACED


OVER_OLD = replacing(OLD_CHECKED)
# On standard output: the destination could not be read for its check.
NOT_A_FILE = (
    'Error reading the file or calculating SHA-256: Error Domain=NSPOSIXErrorDomain Code=22 "Invalid argument" '
    "UserInfo={NSFilePath={dest}, NSLocalizedDescription=Invalid argument, NSLocalizedFailureReason=read}\n"
)
# What another user planted at the destination reads as a file that cannot be read.
NOT_OURS = (
    'Error reading the file or calculating SHA-256: Error Domain=NSPOSIXErrorDomain Code=1 "Operation not permitted" '
    "UserInfo={{NSFilePath={{dest}}, NSLocalizedDescription=Operation not permitted, NSLocalizedFailureReason={}}}\n"
)
NO_LONGER_PLACED = (
    'Error reading the file or calculating SHA-256: Error Domain=NSPOSIXErrorDomain Code=1 "Operation not permitted" '
    "UserInfo={NSFilePath={dest}, NSLocalizedDescription=Operation not permitted, "
    "NSLocalizedFailureReason=no longer the file placed}\n"
)

# -- failures, and the resume data they keep -----------------------------------

NOT_SAVED = "Not saving resume data"


def failed(code: int, data: str = "", resumed: bool = False) -> str:
    """The failure record by its code; `data`: a pattern for the size of the resume data it carries."""
    carried = rf".*, NSURLSessionDownloadTaskResumeData=<{data} bytes>, " if data else "(?!.*ResumeData)"
    record = rf'~Download failed with error: Error Domain=NSURLErrorDomain Code={code} "{carried}.*\}}'
    return record + " " * resumed


def broken(code: int = -1005, data: str = "{saved_size}", resumed: bool = False, cause="Connection lost") -> list:
    """A broken-off transfer's failure record (see failed), and that its resume data is to be saved."""
    return [failed(code, data, resumed), cause + ", saving resume data"]


MAKING_FOLDER = "Creating directory {state_dir}"
IN_FOLDER = "Directory is {state_dir}"
WRITTEN = "Resume data written"
STATE_REPLACING = [IN_FOLDER, "Removing resume data already present at: {state}"]


def lost(first: bool = True, **broken_off) -> list[str]:
    """A broken-off transfer (see broken) whose resume data is written; `first`: the resume folder is created."""
    return broken(**broken_off) + [MAKING_FOLDER] * first + [IN_FOLDER, WRITTEN]


# A resumed transfer broken off again, its resume data written over the old; the same run up to that write, and whole.
LOST_AGAIN = broken(resumed=True) + STATE_REPLACING + [WRITTEN]
SAVING_AGAIN = START + RESUMING + broken(resumed=True) + STATE_REPLACING
AGAIN = SAVING_AGAIN + [WRITTEN]
# Broken off, and the resume data written over what stood there.
LINK_REPLACED = broken() + STATE_REPLACING + [WRITTEN]
# Broken off, up to the making of the resume folder.
LOST_MAKING_FOLDER = broken(data=r"\d+") + [MAKING_FOLDER]
INTERRUPTED = START + lost(cause="Download interrupted", code=-999)
NONE_TO_KEEP = ["Connection lost, saving resume data", "No resume data generated"]
NOT_KEPT = [failed(-1005)] + NONE_TO_KEEP
ERROR_ANSWER = [failed(-1011, resumed=True), NOT_SAVED]
BAD_PART = START + RESUMING + ERROR_ANSWER
UNSUPPORTED = START + [failed(-1002), NOT_SAVED]
CERTIFICATE_REFUSED = START + [
    '~Download failed with error: Error Domain=NSURLErrorDomain Code=-1202 "The certificate for this server is '
    r'invalid\." (?!.*ResumeData).*NSUnderlyingError=CURLcode 60: .*\}',
    NOT_SAVED,
]
CONNECTION_REFUSED = START + [
    'Download failed with error: Error Domain=NSURLErrorDomain Code=-1004 "Could not connect to the server." '
    "UserInfo={NSErrorFailingURLStringKey={url}, NSLocalizedDescription=Could not connect to the server., "
    "NSUnderlyingError=CURLcode 7: Couldn't connect to server}",
    NOT_SAVED,
]
BROKE_PROTOCOL = (
    'Download failed with error: Error Domain=NSURLErrorDomain Code=-1011 "bad server response" UserInfo='
    "{NSErrorFailingURLStringKey={url}, NSLocalizedDescription=bad server response, NSUnderlyingError=The receiver "
    "broke its protocol: %s}"
)

# -- what the file system refuses ----------------------------------------------

MOVE_FAILED, WRITE_FAILED = "Error moving the file: ", "Data write failed with error:"
STATE_STAYS, FILE_STAYS = "Resume plist cannot be deleted ", "File cannot be deleted "
NO_SPACE = (
    'Error Domain=NSPOSIXErrorDomain Code=28 "No space left on device" UserInfo={{NSFilePath={}, '
    "NSLocalizedDescription=No space left on device, NSLocalizedFailureReason={}}}"
)
BODY_NOT_WRITTEN = START + [
    '~Download failed with error: Error Domain=NSURLErrorDomain Code=-3003 "The file could not be written." '
    "UserInfo={NSErrorFailingURLStringKey={url}, NSLocalizedDescription=The file could not be written., "
    "NSUnderlyingError=" + NO_SPACE.format("{partial}/[^,]+", "write") + "}",
    NOT_SAVED,
]
COPY_FAILED = [FALLBACK_MOVED, MOVE_FAILED + NO_SPACE.format("{dest}", "write")]
STATE_NOT_WRITTEN = START + LOST_MAKING_FOLDER + [IN_FOLDER, WRITE_FAILED + NO_SPACE.format("{state}", "write")]
PLANTED = (
    'Data write failed with error:Error Domain=NSPOSIXErrorDomain Code=1 "Operation not permitted" UserInfo={{NSFilePath='
    "/private/tmp/Library, NSLocalizedDescription=Operation not permitted, NSLocalizedFailureReason={}}}"
)


def denied(path: str, operation: str) -> str:
    return (
        f'Error Domain=NSPOSIXErrorDomain Code=13 "Permission denied" UserInfo={{NSFilePath={path}, '
        f"NSLocalizedDescription=Permission denied, NSLocalizedFailureReason={operation}}}"
    )
