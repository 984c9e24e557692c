"""Type stub of the native module; the public interface is the veltor package."""
from typing import Dict, List, Optional, Tuple

class DatabaseError(Exception): ...

_Form = Tuple[int, List[int]]
_Reference = Tuple[bool, int, bool, float]

class Stream:
    def feed(self, data: object) -> None: ...
    def finish(self) -> List[Tuple[str, int, float]]: ...
    def close(self) -> None: ...

class Database:
    build_time: int
    signature_count: int
    rule_count: int
    def scan(self, data: object) -> List[Tuple[str, int, float]]: ...
    def begin(self) -> Stream: ...
    def walk_archive(
        self,
        descriptor: int,
        name: bytes,
        max_depth: int,
        max_unpacked: int,
        max_members: int,
        max_ratio: int,
    ) -> Tuple[List[Tuple[Tuple[str, ...], str, int, float]], List[Tuple[Tuple[str, ...], bool, str]]]: ...
    def walk_archive_bytes(
        self,
        data: object,
        name: bytes,
        max_depth: int,
        max_unpacked: int,
        max_members: int,
        max_ratio: int,
    ) -> Tuple[List[Tuple[Tuple[str, ...], str, int, float]], List[Tuple[Tuple[str, ...], bool, str]]]: ...
    def parse_names(self, text: bytes) -> Dict[int, str]: ...
    def explain(
        self, data: object
    ) -> Tuple[
        List[Tuple[int, int, _Form, _Form]],
        List[Tuple[int, int, str, bool, float, int, List[_Reference], str]],
    ]: ...

ARCHIVES_SUPPORTED: bool
MAX_ARCHIVE_DEPTH: int
MAX_ARCHIVE_DEPTH_LIMIT: int
MAX_UNPACKED: int
MAX_MEMBERS: int
MAX_RATIO: int
SIGNATURE_NAMES_SUFFIX: str
DEFAULT_DATABASE_CANDIDATES: Tuple[str, str]

def load_image(data: object) -> Database: ...
def compile(
    source: str, path: str, unix_seconds: Optional[int]
) -> Tuple[Optional[bytes], List[Tuple[bool, str, int, int, str]]]: ...
