namespace Canvas.Drawing
{
    public class CanvasView
    {
        public void Paint(REDidIzo.Drawing d)
        {
            d.FillColor = 0x00FFFF;
            d.TextColor = 0;
        }
    }
}
