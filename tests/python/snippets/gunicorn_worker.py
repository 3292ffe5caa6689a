# gunicorn runs ASGI apps with uvicorn's worker class; this subclass of it
# runs each worker process on an ombrel loop. Name it with -k:
#   gunicorn app:app -k gunicorn_worker.OmbrelUvicornWorker -w 2
from uvicorn.workers import UvicornWorker


class OmbrelUvicornWorker(UvicornWorker):
    CONFIG_KWARGS = {**UvicornWorker.CONFIG_KWARGS, "loop": "ombrel:new_event_loop"}
