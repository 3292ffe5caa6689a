"""ombrel: an asyncio event loop for Linux on io_uring."""
