namespace Legacy
{
    public class Legacy
    {
        public void Draw(VUVedaZir.Canvas canvas)
        {
            canvas.GripColor = 2;
        }
    }
}
