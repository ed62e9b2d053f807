from typing import Any

__version__: str

def _panic_exception() -> type[BaseException]: ...
